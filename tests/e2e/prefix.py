#!/usr/bin/python3
"""Creates the end-to-end tests' Wine prefix with a persistent server, or stops that server."""
import os
import sys


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wine_prefix

if sys.argv[1] == "create":
    wine_prefix.create(wine_prefix.prefix_path())
else:
    left = wine_prefix.stop(wine_prefix.prefix_path())
    if left:
        sys.exit("processes left behind: %s" % left)
