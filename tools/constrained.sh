#!/usr/bin/env bash
# The suite as the hosted Linux runs constrain it, here:
# - without CAP_SYS_ADMIN, as root is in the manylinux container of the
#   wheel's test step (no mounts, no mount namespaces);
# - with LD_LIBRARY_PATH unset and a python3.13-config whose flags carry no
#   rpath, as with the CPython of the hosted runners' `test` job.
# Tests that need what is taken away skip and say why.
#
#     tools/constrained.sh PYTHON [PYTEST ARGS...]
set -euo pipefail
python=${1:?usage: tools/constrained.sh PYTHON [PYTEST ARGS...]}
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
config=$("$python" -c 'import os, sysconfig; print(os.path.join(sysconfig.get_config_var("BINDIR"), "python3.13-config"))')
# The interpreter's own python3.13-config, its rpath flags taken out.
cat > "$work/python3.13-config" <<SCRIPT
#!/bin/sh
"$config" "\$@" | sed -e 's/-Wl,-rpath,[^ ]*//g'
SCRIPT
chmod +x "$work/python3.13-config"
if ! setpriv --bounding-set=-sys_admin --inh-caps=-sys_admin true 2>/dev/null; then
    echo "constrained: setpriv cannot drop CAP_SYS_ADMIN here (it needs root and util-linux's setpriv)" >&2
    exit 1
fi
env -u LD_LIBRARY_PATH SFTP_MAIN_PYTHON_CONFIG="$work/python3.13-config" \
    setpriv --bounding-set=-sys_admin --inh-caps=-sys_admin "$python" -m pytest "$@"
