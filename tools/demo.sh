#!/usr/bin/env bash
# The updater's main job, for real, against an embedded default: a local S3 server on
# 127.0.0.1 with a published sample bot, and a bot directory whose bin subdirectory the updater
# runs from, holding an outdated executable.
#
#   tools/demo.sh           the update (messages, progress bar, replacement, the bot starting),
#                           then a second run that finds the bot current and waits 60 seconds
#   tools/demo.sh --quick   the same with the 60-second wait cut to 3 seconds (for CI)
#   tools/demo.sh --help    this text
#
# It sets up a virtual environment of its own, .venv-demo, with only what it uses, and builds the
# module in build/native, the build the tests run as the platform's (where they built it already,
# nothing is compiled again), showing pip's and CMake's steps; the tests' .venv is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
help_if_asked tools/demo.sh "$@"

quick=0
for option in "$@"; do
    case "$option" in
        --quick) quick=1 ;;
        *) echo "error: unknown option $option (see tools/demo.sh --help)" >&2; exit 2 ;;
    esac
done

# A virtual environment of the demo's own, with only what it uses: boto3, urllib3 and progressbar
# for the updater, moto's S3 and the web framework of its server for the local store, in the
# versions the tests use; the module as the tests build it for this platform.
VENV=.venv-demo
REQUIREMENTS=$BUILD/demo-requirements.txt
module_dir=$PWD/$BUILD/native
mkdir -p "$BUILD"
module_requirements >"$REQUIREMENTS"
export SHOW_PROGRESS=1
echo "== Setting up: CPython 3.13 and a virtual environment ($VENV) with boto3, progressbar and" \
     "moto's S3 server (the first time this fetches and installs packages: a minute or more)"
setup_venv
echo "== Building the module in $module_dir (CMake; the first time a minute or more)"
build_module "$module_dir" auto
python=$PWD/$VENV/bin/python
endpoint=$("$python" tools/local_s3.py endpoint "$module_dir")

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/bots/bin" "$demo/release"

# The local server, on a port it picks itself; it goes when this script does, however it ends.
exec 3< <(exec "$python" tools/local_s3.py serve "$demo/server.log")
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true' EXIT
read -r port <&3 || { echo "error: the local S3 server did not start" >&2; cat "$demo/server.log" >&2; exit 1; }

# Only the local server is reached: the module's endpoint host goes through it as a proxy,
# and no AWS configuration of this machine is read.
export http_proxy=http://127.0.0.1:$port
export AWS_CONFIG_FILE=/dev/null AWS_SHARED_CREDENTIALS_FILE=/dev/null AWS_EC2_METADATA_DISABLED=true
unset no_proxy NO_PROXY

sample_bot() {  # sample_bot VERSION: a harmless program that says it started
    printf '#!/bin/sh\necho "kelvo_bot %s started in $(pwd)"\nexit 0\n' "$1"
    # Some bulk, so that the progress bar has something to show.
    head -c 3000000 /dev/zero | tr '\0' '#'
}
sample_bot 2.0 >"$demo/release/kelvo_bot.exe"
sample_bot 1.0 >"$demo/bots/kelvo_bot.exe"
chmod +x "$demo/bots/kelvo_bot.exe"

echo "== Publishing kelvo_bot 2.0 to the local bucket"
"$python" publisher/publisher.py --endpoint "$endpoint" --access-key-id local --secret-access-key local \
    publish --not-a-windows-program "$demo/release/kelvo_bot.exe"  # a shell script for Linux

run_updater() {
    (cd "$demo/bots/bin" && PYTHONPATH=$module_dir "$python" -c "$1")
}
import_plain='import updater_core'
import_quick='import time; sleep = time.sleep; time.sleep = lambda s: sleep(min(s, 3)); import updater_core'

echo
echo "== Running the updater in $demo/bots/bin with kelvo_bot 1.0 installed"
run_updater "$import_plain"
cmp -s "$demo/release/kelvo_bot.exe" "$demo/bots/kelvo_bot.exe"
echo "== kelvo_bot.exe is now the published 2.0, byte for byte"

echo
# After a current bot the updater waits before it ends, as the person's window does, so that
# its lines can be read before the window closes.
if [ $quick = 1 ]; then
    echo "== Running the updater again: it finds the bot current and then waits, as the window" \
         "does (--quick: the 60-second wait is cut to 3 seconds, though it still says 60)"
    run_updater "$import_quick"
else
    echo "== Running the updater again: it finds the bot current and then waits 60 seconds before" \
         "it ends, as the person's window does (tools/demo.sh --quick cuts the wait short)"
    still_running "running the updater, in its 60-second wait" run_updater "$import_plain"
fi
echo "== Done"
