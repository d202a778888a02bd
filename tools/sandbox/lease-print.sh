#!/bin/sh
# udhcpc script that only reports each lease in kivd's KIVD_ line protocol; it configures nothing.
case "$1" in
    bound|renew)
        echo "KIVD_IP=${ip:-}"
        echo "KIVD_NETMASK=${subnet:-}"
        echo "KIVD_GATEWAY=${router:-}"
        echo "KIVD_DNS=${dns:-}"
        echo "KIVD_DOMAIN=${domain:-}"
        echo "KIVD_FINISHED"
        ;;
esac
exit 0
