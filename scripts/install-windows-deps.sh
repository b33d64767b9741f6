#!/usr/bin/env bash
# Installs the Debian packages the Windows build and its Wine tests need (skips what is there).
exec "$(dirname "$0")/install-deps.sh" windows
