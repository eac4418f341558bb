#!/usr/bin/env bash
# orvekind's pairs are real X25519 pairs (wg derives the same public key), fresh
# each time, and anything but "keypair" is an error on standard error.
#   orvekind_test.sh ORVEKIND
set -uo pipefail
tool=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for round in 1 2; do
  output=$("$tool" keypair) || fail "keypair exited with $?"
  [[ $output =~ ^\{\"private_key\":\"([A-Za-z0-9+/]{43}=)\",\"public_key\":\"([A-Za-z0-9+/]{43}=)\"\}$ ]] ||
    { fail "not the one JSON object: $output"; continue; }
  private=${BASH_REMATCH[1]} public=${BASH_REMATCH[2]}
  [[ $(wg pubkey <<<"$private") == "$public" ]] || fail "the public key is not the private key's"
  [[ $private != "${previous:-}" ]] || fail "the same key twice"
  previous=$private
done

for arguments in "" "pair" "keypair extra"; do
  # shellcheck disable=SC2086
  errors=$("$tool" $arguments 2>&1 >/dev/null) && fail "'$arguments' succeeded"
  [[ -n $errors ]] || fail "'$arguments' failed silently"
done

exit $((failures > 0))
