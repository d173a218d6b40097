#!/usr/bin/env bash
# The demo against the local sandbox backend arrives with the sandbox itself.
echo "The sandbox demo is coming; for now run the tests: bash tools/test.sh"
