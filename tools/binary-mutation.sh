#!/usr/bin/env bash
# Mutation run over the shipped images: single-point changes to each image's code and constants,
# each judged by that image's tests in its own copy of the image directory; prints the score per
# image and every change no case noticed. Run by hand after both builds; CI runs a short slice.
#
#   tools/binary-mutation.sh [--count N | --each N] [--seed S] [--only Image,...] [--jobs J] [--list]
#
# Defaults: 10 mutants per image shared out by size, seed 1, 2 jobs. See --help.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/binary-mutation/binary_mutation.py" "$@"
