#!/usr/bin/env python3
"""The layering check passes the sources as they are and fails, naming the
file and line, on each kind of violation planted in a small tree of its own:
an upward include, an include of a sibling folder of the same layer, a
system header outside the platform, and a product file in no layer."""
import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake", "check-layers.py")
ROOT = os.path.join(os.path.dirname(CHECK), "..")


def run(root):
    done = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
    return done.returncode, done.stdout


def tree(files):
    root = tempfile.mkdtemp(prefix="kvtr-layers-")
    for path, text in files.items():
        os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(root, path), "w") as out:
            out.write(text)
    return root


def main():
    failures = []
    status, output = run(ROOT)
    if status != 0:
        failures.append("the sources themselves fail:\n" + output)
    base = {
        "platform/win32.h": "#include <windows.h>\n",
        "common_utils/runtime/guard.h": '#include "platform/win32.h"\n#include <cstdint>\n',
        "common_utils/text/text.h": '#include "common_utils/runtime/guard.h"\n',
        "installer/work.cc": '#include "common_utils/text/text.h"\n#include "work.h"\n',
        "installer/work.h": "",
        "tools/tool_posix.cc": "#include <unistd.h>\n",
        "tests/anything.cc": '#include "installer/work.h"\n#include <unistd.h>\n',
    }
    status, output = run(tree(base))
    if status != 0 or output:
        failures.append(f"a clean tree fails ({status}):\n{output}")
    planted = {
        "common_utils/runtime/up.cc": ('#include "platform/win32.h"\n#include "installer/work.h"\n',
                                       "common_utils/runtime/up.cc:2: common_utils/runtime includes installer/work.h"),
        "common_utils/logger/side.cc": ('#include "common_utils/environment/env.h"\n',
                                        "common_utils/logger/side.cc:1: common_utils/logger includes "
                                        "common_utils/environment/env.h (common_utils/environment), a folder of its "
                                        "own layer"),
        "installer/system.cc": ("#include <vector>\n#include <unistd.h>\n",
                                "installer/system.cc:2: system header <unistd.h> outside platform/"),
        "tools/tool.cc": ("#include <dlfcn.h>\n", "tools/tool.cc:1: system header <dlfcn.h> outside platform/"),
        "elsewhere/file.cc": ("", "elsewhere/file.cc:1: a product file in a folder of no layer"),
    }
    for path, (text, expected) in planted.items():
        files = dict(base)
        files["common_utils/environment/env.h"] = ""
        files[path] = text
        status, output = run(tree(files))
        if status != 1 or expected not in output or len(output.splitlines()) != 1:
            failures.append(f"{path}: expected exit 1 and only \"{expected}\", got {status}:\n{output}")
    for failure in failures:
        print(failure)
    if not failures:
        print("kvtr-tests: every test ran and passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
