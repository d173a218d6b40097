# Sourced by the tools: find_python prints a Python 3.10 interpreter (PYTHON, then
# python3.10 on PATH, then pyenv's), or fails with a message.
find_python() {
    local candidates=("${PYTHON:-}" python3.10)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.10*/bin/python)
    fi
    for candidate in "${candidates[@]}"; do
        if [ -n "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    echo "Python 3.10 not found; set PYTHON=/path/to/python3.10" >&2
    return 1
}
