#!/usr/bin/env bash
# Measures the monitor against the tray floor; benchmark.py --help gives the options.
exec /usr/bin/python3 "$(dirname "$0")/benchmark.py" "$@"
