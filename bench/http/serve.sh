#!/usr/bin/env bash
# Wrapper the peer kit starts: exec keeps one PID, so the kit's SIGTERM and
# its VmHWM reading reach the server itself.
# usage: serve.sh PONTIVO_BINARY PORT
exec "$1" --headless --http-port "$2"
