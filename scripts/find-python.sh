#!/usr/bin/env bash
# Prints the path of a Python 3.9 interpreter. The pyenv shim refuses to run
# unless a version is selected, so look for the real binary first.
set -u
roots=()
command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root 2>/dev/null)")
roots+=("${PYENV_ROOT:-$HOME/.pyenv}" /root/.pyenv)
for root in "${roots[@]}"; do
    for candidate in "$root"/versions/3.9.*/bin/python3.9; do
        [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
    done
done
for candidate in /usr/bin/python3.9 /usr/local/bin/python3.9; do
    [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
done
echo "no Python 3.9 interpreter found" >&2
exit 1
