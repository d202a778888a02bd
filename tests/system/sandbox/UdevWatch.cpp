// kiv-udev-watch: listens to udev's "net" events through libudev the way kivd does and prints
// "ready" once listening, then "<ACTION> <INTERFACE>" per event, until killed.

#include <libudev.h>

#include <cstdio>

#include <poll.h>

int main()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    udev *context = udev_new();
    udev_monitor *monitor = context ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor, "net", nullptr) < 0
        || udev_monitor_enable_receiving(monitor) < 0) {
        fprintf(stderr, "kiv-udev-watch: cannot set up the udev monitor\n");
        return 1;
    }
    printf("ready\n");
    pollfd fd = {udev_monitor_get_fd(monitor), POLLIN, 0};
    while (poll(&fd, 1, -1) >= 0) {
        udev_device *device = udev_monitor_receive_device(monitor);
        if (!device)
            continue;
        const char *action = udev_device_get_property_value(device, "ACTION");
        const char *interface = udev_device_get_property_value(device, "INTERFACE");
        printf("%s %s\n", action ? action : "-", interface ? interface : "-");
        udev_device_unref(device);
    }
    return 1;
}
