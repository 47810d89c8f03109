#!/bin/sh
# Installs the built wheel into a virtual environment that also sees Debian's dask.distributed
# (python3-distributed), then runs the example: run.sh WHEEL WORK_DIR [scale_out.py options].
set -eu
mkdir -p "$2"
wheel=$1; work=$(cd "$2" && pwd); shift 2
here=$(cd "$(dirname "$0")" && pwd)
[ -x "$work/venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --force-reinstall "$wheel"
cd "$work" && "$work/venv/bin/python" "$here/scale_out.py" --dir "$work/data" "$@"
