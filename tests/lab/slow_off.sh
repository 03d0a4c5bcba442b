#!/bin/sh
# A wrapper as labs write them: it runs the tool (VELORIN_TOOL) in a child
# that keeps its output in a log, and an "off" is slow to start, so a time
# limit ends the wrapper while the tool is still to come.
case " $* " in
*" /S=off "*) pause=2 ;;
*) pause=0 ;;
esac
(sleep "$pause" && exec "$VELORIN_TOOL" "$@") >>"${VELORIN_WRAPPER_LOG:-/dev/null}" 2>&1 &
wait "$!"
