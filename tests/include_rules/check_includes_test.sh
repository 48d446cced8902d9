#!/bin/sh
# scripts/check-includes on this tree (it must pass), then on small trees that each break
# one rule (each must fail and name the file) or keep to it (each must pass).
# Usage: check_includes_test.sh <source root>
src=$1
check="$src/scripts/check-includes"
"$check" "$src" || { echo "FAIL: the tree breaks an include rule"; exit 1; }

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0
# case <expect: pass|fail> <file> <include line>
case_() {
  rm -rf "$tmp/t" && mkdir -p "$tmp/t/$(dirname "$2")"
  printf '%s\n' "$3" > "$tmp/t/$2"
  out=$("$check" "$tmp/t" 2>&1); rc=$?
  if [ "$1" = fail ] && { [ $rc -eq 0 ] || ! echo "$out" | grep -q "$2"; }; then
    echo "FAIL: $2 with '$3' was not refused"; failures=$((failures + 1))
  elif [ "$1" = pass ] && [ $rc -ne 0 ]; then
    echo "FAIL: $2 with '$3' was refused: $out"; failures=$((failures + 1))
  fi
}
case_ fail common/wire/x.h '#include "agent/net/msg/msg.h"'
case_ fail common/db/x.cpp '#include "desktop/foundation/lang/lang.h"'
case_ fail common/text/x.cpp '#include "cmd/commands.h"'
case_ fail common/md5/x.cpp '#include <QString>'
case_ fail common/md5/x.cpp '#include <QtCore/QObject>'
case_ fail agent/net/http/x.cpp '#include "agent/handlers/shares/shares.h"'
case_ fail agent/net/msg/x.cpp '  #  include "agent/service/handler_tables.h"'
case_ fail agent/handlers/listing/x.cpp '#include "agent/net/relay/relay_frame.h"'
case_ fail agent/core/state/x.cpp '#include "agent/net/socket/comm.h"'
case_ fail agent/media/thumb/x.cpp '#include "agent/handlers/thumbnail/thumbnail.h"'
case_ fail tests/fakes/x.cpp '#include "common/wire/wire.h"'
case_ fail tests/fakes/x.cpp '#include "agent/net/msg/msg.h"'
case_ pass common/wire/x.h '#include "common/text/text.h"'
case_ pass agent/net/http/x.cpp '#include "agent/core/shares/share_policy.h"'
case_ pass agent/handlers/listing/x.cpp '#include "agent/net/reply/reply.h"'
case_ pass agent/service/x.cpp '#include "agent/handlers/desktop/desktop.h"'
case_ pass tests/fakes/x.cpp '#include "tests/fakes/wire.h"'
[ $failures -eq 0 ] || exit 1
echo "include rules hold and are enforced"
