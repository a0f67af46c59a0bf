#!/bin/sh
# The module must define exactly the five entry points (so no XPLM function
# of its own) and import the simulator's functions for the simulator to provide.
set -e
xpl="$1"
defined=$(nm -D --defined-only "$xpl" | awk '{print $3}' | sort | tr '\n' ' ')
expected="XPluginDisable XPluginEnable XPluginReceiveMessage XPluginStart XPluginStop "
if [ "$defined" != "$expected" ]; then
  echo "defined symbols: $defined"; echo "expected:        $expected"; exit 1
fi
nm -D --undefined-only "$xpl" | grep -q ' XPLMDebugString$' || { echo "XPLMDebugString not imported"; exit 1; }
if readelf -Ws --dyn-syms "$xpl" | grep -q UNIQUE; then echo "GNU unique symbol pins the module"; exit 1; fi
echo "exports ok"
