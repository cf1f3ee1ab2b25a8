#!/usr/bin/env python3
"""The instructions of the AVX-512 kernel's group of 16 taps, made by rule.

The group (group16_avx512 in filter/kernels_avx512.cc) adds taps h0 to h15 of 8
vectors of 8 outputs, a0 to a7, whose windows start at w. The window loaded
at double offset s serves tap s - 8j of vector j, so for taps r and r + 8 the
windows at s = r + 8m, m = 0 to 8, serve tap r of vector m (m < 8) and tap
r + 8 of vector m - 1 (m > 0). Two asm blocks, taps 0-3 with 8-11 and taps
4-7 with 12-15; in each, for every r, the even m first, then for every r the
odd m, so that neighbouring multiply-adds go to different vectors.

    tools/avx512_group.py              prints the two blocks' instructions
    tools/avx512_group.py --check F    exit 1 unless F holds exactly these,
                                       in this order
"""
import re
import sys


def block(taps):
    lines = []
    for parity in (0, 1):
        for r in taps:
            for m in range(parity, 9, 2):
                lines.append(f"vmovupd {8 * (r + 8 * m)}(%[w]), %[win]")
                if m < 8:
                    lines.append(f"vfmadd231pd %[h{r}], %[win], %[a{m}]")
                if m > 0:
                    lines.append(f"vfmadd231pd %[h{r + 8}], %[win], %[a{m - 1}]")
    return lines


def instructions():
    return block(range(0, 4)) + block(range(4, 8))


def main():
    made = instructions()
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        source = open(sys.argv[2]).read()
        found = re.findall(r'"((?:vmovupd|vfmadd231pd) [^"\\]*)\\n\\t"', source)
        for at, (want, have) in enumerate(zip(made, found)):
            if want != have:
                print(f"instruction {at}: the rule makes {want!r}, the source has {have!r}")
                return 1
        if len(found) != len(made):
            print(f"the rule makes {len(made)} instructions, the source has {len(found)}")
            return 1
        print(f"the source's {len(found)} instructions are the rule's")
        return 0
    for line in made:
        print(f'"{line}\\n\\t"')
    return 0


if __name__ == "__main__":
    sys.exit(main())
