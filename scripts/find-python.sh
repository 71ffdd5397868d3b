#!/usr/bin/env bash
# Prints the path of a Python interpreter of the given series (3.9 when none
# is given). The pyenv shim refuses to run unless a version is selected, so
# look for the real binary first.
set -u
series=${1:-3.9}
roots=()
command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root 2>/dev/null)")
roots+=("${PYENV_ROOT:-$HOME/.pyenv}" /root/.pyenv)
for root in "${roots[@]}"; do
    for candidate in "$root"/versions/"$series".*/bin/python"$series"; do
        [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
    done
done
for candidate in /usr/bin/python"$series" /usr/local/bin/python"$series"; do
    [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
done
echo "no Python $series interpreter found" >&2
exit 1
