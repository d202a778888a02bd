#!/bin/sh
# udhcpc calls this on every lease event; each bound or renewed lease is printed as one record
# for kivd, which configures the interface itself. Other events print nothing.

newline='
'

# Prints "KEY=value" with any line feed in the value turned into a blank, so that a value
# received from the network can never start a line of its own.
print_key() {
    key=$1
    set -f
    saved_ifs=$IFS
    IFS=$newline
    # shellcheck disable=SC2086
    set -- $2
    IFS=' '
    value="$*"
    IFS=$saved_ifs
    set +f
    printf '%s=%s\n' "$key" "$value"
}

case "$1" in
bound|renew)
    print_key KIVD_IP "$ip"
    print_key KIVD_NETMASK "$subnet"
    print_key KIVD_GATEWAY "$router"
    print_key KIVD_DNS "$dns"
    print_key KIVD_DOMAIN "$domain"
    printf 'KIVD_FINISHED\n'
    ;;
esac
exit 0
