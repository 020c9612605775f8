#!/usr/bin/python3
"""Creates the end-to-end tests' Wine prefix with a persistent server, stops that server, or runs
a Windows program in the prefix with its output and exit code."""
import os
import sys


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wine_prefix

if sys.argv[1] == "create":
    wine_prefix.create(wine_prefix.prefix_path())
elif sys.argv[1] == "run":
    code, out = wine_prefix.run(wine_prefix.prefix_path(), sys.argv[2:], timeout=600)
    sys.stdout.buffer.write(out)
    sys.exit(code)
else:
    left = wine_prefix.stop(wine_prefix.prefix_path())
    if left:
        sys.exit("processes left behind: %s" % left)
