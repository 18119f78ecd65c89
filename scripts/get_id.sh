#!/bin/sh
# Prints a stable identifier of this machine; the core keys its data
# protection service with it.
if [ -r /etc/machine-id ]; then
  cat /etc/machine-id
elif [ -r /var/lib/dbus/machine-id ]; then
  cat /var/lib/dbus/machine-id
else
  hostname
fi
