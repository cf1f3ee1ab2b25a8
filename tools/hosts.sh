#!/usr/bin/env bash
# Tries the README's recipe for an archive over several hosts for real, on
# this machine: a local sshd on 127.0.0.1:2222 and two logins on it (users
# tapsum-a and tapsum-b, made for the try and removed after it), each with
# the built tapsum on its PATH. It filters a small tree (folders, a name
# with spaces, a file that isn't a WAV file) with the one-host recipe and
# with the several-host one, and checks that the two trees of outputs and
# reports are byte for byte the same and that both recipes fail for the
# file that fails. Needs root (sshd, the users); installs GNU parallel,
# openssh-server, rsync and sox if missing. Run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$(id -u)" = 0 ] || { echo "hosts.sh: needs root, for sshd and the two users" >&2; exit 1; }
for tool in parallel /usr/sbin/sshd rsync sox; do
  command -v "$tool" >/dev/null || {
    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y \
      parallel openssh-server rsync sox
    break
  }
done
[ -x build/release/tapsum ] || { cmake --preset release >/dev/null &&
  cmake --build --preset release --target tapsum >/dev/null; }

d=$(mktemp -d /tmp/tapsum-hosts.XXXXXX)
made_users=()
sshd_pid=
finish() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null
  for user in "${made_users[@]}"; do userdel -r "$user" 2>/dev/null || true; done
  rm -rf "$d"
}
trap finish EXIT
chmod 755 "$d"

# The hosts: two logins with one key, tapsum on their PATH.
mkdir "$d/bin"
cp build/release/tapsum "$d/bin/"
chmod -R a+rx "$d/bin"
ssh-keygen -q -t ed25519 -N '' -f "$d/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$d/key"
for user in tapsum-a tapsum-b; do
  if ! id "$user" >/dev/null 2>&1; then
    useradd -m -s /bin/bash "$user"
    made_users+=("$user")
  fi
  usermod -p '*' "$user"  # no password, and not locked: the key logs in
  home=$(getent passwd "$user" | cut -d: -f6)
  mkdir -p "$home/.ssh"
  cp "$d/key.pub" "$home/.ssh/authorized_keys"
  chown -R "$user:" "$home/.ssh"
  chmod 700 "$home/.ssh"
  chmod 600 "$home/.ssh/authorized_keys"
done
cat >"$d/sshd_config" <<EOF
Port 2222
ListenAddress 127.0.0.1
HostKey $d/host_key
PidFile $d/sshd.pid
AuthorizedKeysFile .ssh/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
SetEnv PATH=$d/bin:/usr/local/bin:/usr/bin:/bin
EOF
mkdir -p /run/sshd
/usr/sbin/sshd -D -f "$d/sshd_config" -E "$d/sshd.log" &
sshd_pid=$!
echo "[127.0.0.1]:2222 $(cut -d' ' -f1,2 "$d/host_key.pub")" >"$d/known_hosts"
cat >"$d/ssh_config" <<EOF
Host host-a host-b
  HostName 127.0.0.1
  Port 2222
  IdentityFile $d/key
  IdentitiesOnly yes
  UserKnownHostsFile $d/known_hosts
  BatchMode yes
Host host-a
  User tapsum-a
Host host-b
  User tapsum-b
EOF
for _ in $(seq 50); do
  ssh -F "$d/ssh_config" host-a true 2>/dev/null && break
  sleep 0.1
done

# The archive, twice.
mkdir -p "$d/src/in/a" "$d/src/in/b c"
sox -n -r 44100 -b 16 -c 2 "$d/src/in/a/one.wav" synth 3 pinknoise
sox -n -r 44100 -b 16 -c 1 "$d/src/in/b c/two words.wav" synth 2 sine 440
sox -n -r 48000 -b 24 -c 2 "$d/src/in/a/three.wav" synth 2 whitenoise
printf 'RIFF\4\0\0\0WAVE' >"$d/src/in/b c/broken.wav"
cp examples/lowpass-44k1.txt "$d/src/"
cp -r "$d/src" "$d/one"
cp -r "$d/src" "$d/many"

# The one-host recipe.
set +e
(cd "$d/one" && PATH=$d/bin:$PATH &&
  find in -name '*.wav' -print0 |
  TAPSUM_THREADS=1 xargs -0 -n 1 -P "$(nproc)" sh -c \
    'mkdir -p "out/${1%/*}" && tapsum lowpass-44k1.txt "$1" "out/$1" 2>"out/$1.log"' sh)
one=$?
# The several-host recipe, with this try's ssh settings.
(cd "$d/many" &&
  find in -name '*.wav' -print0 |
  parallel -0 --ssh "ssh -F $d/ssh_config" -S host-a,host-b --joblog "$d/jobs" \
    --workdir ... --transferfile lowpass-44k1.txt --transferfile {} --return out --cleanup \
    'mkdir -p out/{//} && TAPSUM_THREADS=1 tapsum lowpass-44k1.txt {} out/{} 2>out/{}.log')
many=$?
set -e

echo "one host: status $one; two hosts: status $many, runs by host:" \
  "$(tail -n +2 "$d/jobs" | cut -f2 | sort | uniq -c | tr -s ' \n' ' ')"
(cd "$d/one" && find out -type f | sort)
if [ "$one" = 123 ] && [ "$many" = 1 ] && diff -r "$d/one/out" "$d/many/out" &&
  [ "$(tail -n +2 "$d/jobs" | cut -f2 | sort -u | wc -l)" = 2 ]; then
  echo "the same bytes from one host and from two; the one failure fails both"
else
  echo "hosts.sh: the recipes differ" >&2
  exit 1
fi
