#!/usr/bin/env bash
# Compiles the user guide into docs/help/Corvan_Server.chm with chmcmd
# (Debian package fp-utils). The compiled file is kept in the repository, so
# building the program does not need the tool.
set -euo pipefail
cd "$(dirname "$0")/src"
chmcmd Corvan_Server.hhp
mv -f Corvan_Server.chm ../Corvan_Server.chm
