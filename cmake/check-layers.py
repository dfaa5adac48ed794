#!/usr/bin/env python3
"""Checks the layering of the product's sources: a file includes only files
of its own folder or of lower layers, and system headers only through the
platform's headers (platform/win32.h and its siblings). The layers, lowest
first, are those of ARCHITECTURE.md; folders of one layer may not include
each other. The programs' platform forks (tools/*_posix.cc, tools/*_win.cc)
may include the system headers of their platform. Prints each violation as
FILE:LINE: TEXT and exits 1 when there is any.

Usage: check-layers.py [SOURCE-DIR]"""
import os
import re
import sys

# Lowest first. A folder belongs to the first entry that is a prefix of it.
LAYERS = [
    ["platform"],
    ["common_utils/runtime", "common_utils/paths"],
    ["common_utils/format"],
    ["common_utils/text"],
    ["common_utils/registry"],
    ["common_utils/report", "common_utils/mime"],
    ["common_utils/threads"],
    ["common_utils/environment", "common_utils/logger"],
    ["installer"],
    ["common_utils/module"],
    ["tools", "msi"],
]
PLATFORM_FORK = re.compile(r"_(posix|win)\.cc$")
NOT_PRODUCT = ("tests", "bench", "fuzz", "build", "examples", "mof", "cmake", ".git", ".ci")
# What any product file may include besides the project's own headers: the
# C and C++ standard libraries and the compiler's intrinsics.
STANDARD = set("""
algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes climits clocale cmath
compare condition_variable csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cwchar cwctype deque
exception filesystem fstream functional initializer_list iomanip ios iosfwd iostream istream iterator limits list
locale map memory mutex new numeric optional ostream queue random ratio regex set shared_mutex span sstream stack
stdexcept streambuf string string_view system_error thread tuple type_traits typeinfo unordered_map unordered_set
utility variant vector
assert.h ctype.h errno.h float.h limits.h locale.h math.h setjmp.h stdarg.h stddef.h stdint.h stdio.h stdlib.h
string.h time.h wchar.h wctype.h
emmintrin.h immintrin.h nmmintrin.h
""".split())
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(folder):
    for level, prefixes in enumerate(LAYERS):
        for prefix in prefixes:
            if folder == prefix or folder.startswith(prefix + "/"):
                return level, prefix
    return None, None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    for folder, dirs, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        if relative != "." and relative.split(os.sep)[0] in NOT_PRODUCT:
            dirs[:] = []
            continue
        relative = relative.replace(os.sep, "/")
        level, owner = layer_of(relative)
        for name in sorted(files):
            if not name.endswith((".h", ".cc", ".inc")):
                continue
            path = os.path.join(relative, name)
            if level is None:
                problems.append(f"{path}:1: a product file in a folder of no layer")
                continue
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    quoted, target = match.group(1) == '"', match.group(2)
                    if not quoted:
                        fork = owner == "tools" and PLATFORM_FORK.search(name)
                        if owner != "platform" and not fork and target not in STANDARD:
                            problems.append(f"{path}:{number}: system header <{target}> outside platform/")
                        continue
                    if "/" not in target:
                        continue  # beside the file
                    beside = os.path.normpath(os.path.join(relative, target)).replace(os.sep, "/")
                    found = beside if os.path.exists(os.path.join(root, beside)) else target
                    target_folder = os.path.dirname(found)
                    target_level, target_owner = layer_of(target_folder)
                    if target_level is None:
                        problems.append(f"{path}:{number}: includes {target}, in no layer")
                    elif target_level > level or (target_level == level and target_owner != owner):
                        problems.append(f"{path}:{number}: {owner} includes {target} ({target_owner}), "
                                        f"{'a higher layer' if target_level > level else 'a folder of its own layer'}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
