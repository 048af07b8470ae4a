#!/bin/sh
# Installs the Debian packages the data generators use.  Needed only to
# regenerate the installation data under data/; the build and the tests
# of the suite do not use them.
set -e
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
$SUDO apt-get update
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  python3 python3-cctbx python3-gemmi python3-xraylib python3-periodictable
