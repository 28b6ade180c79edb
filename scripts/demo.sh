#!/usr/bin/env bash
# The main job on its embedded default: formats the bundled example task
# definition with the command-line tool.
set -euo pipefail
BUILD=${1:-build/release}
cd "$(dirname "$0")/.."
"$BUILD/cli/quarvex-cli" markup format examples/example-task.dat
echo
