/* A plain libusb client for the Python tests: it knows nothing of the
 * emulation. Commands run in order from the arguments, one output line each:
 *   list VID:PID                  one line per device: "serial SERIAL"
 *   open VID:PID SERIAL           "open 0" (or the libusb error code)
 *   ctrl REQUEST VALUE INDEX HEX  vendor OUT request ("-" for no data): "ctrl RESULT"
 *   write HEX                     bulk OUT to 0x01: "write STATUS TRANSFERRED"
 *   read TIMEOUT_MS               bulk IN from 0x81: "read STATUS HEX"
 *   idle MS                       a bulk IN from 0x81 without time-out stays pending while
 *                                 the client waits in libusb_handle_events_timeout (100 ms
 *                                 each) for MS milliseconds: "idle CALLS", the waits made
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime under -std=c99 */
#include <libusb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int parse_ids(const char* text, unsigned* vendor, unsigned* product) {
    return sscanf(text, "%x:%x", vendor, product) == 2;
}

static int parse_hex(const char* text, unsigned char* bytes, int capacity) {
    int length = 0;
    if (strcmp(text, "-") == 0) {
        return 0;
    }
    while (text[0] && text[1] && length < capacity) {
        unsigned value;
        if (sscanf(text, "%2x", &value) != 1) {
            return -1;
        }
        bytes[length++] = (unsigned char)value;
        text += 2;
    }
    return length;
}

static void print_hex(const unsigned char* bytes, int length) {
    for (int i = 0; i < length; ++i) {
        printf("%02x", bytes[i]);
    }
}

/* Opens the first device with the ids whose serial is `serial` (any when NULL
 * and `print` is set: then every serial is printed and nothing kept open). */
static libusb_device_handle* find(libusb_context* context, unsigned vendor, unsigned product,
                                  const char* serial, int print) {
    libusb_device** list;
    libusb_device_handle* found = NULL;
    ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count && !found; ++i) {
        struct libusb_device_descriptor descriptor;
        libusb_device_handle* handle;
        unsigned char text[256] = {0};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            descriptor.idVendor != vendor || descriptor.idProduct != product ||
            libusb_open(list[i], &handle) != 0) {
            continue;
        }
        libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
        if (print) {
            printf("serial %s\n", text);
        }
        if (serial && strcmp((const char*)text, serial) == 0) {
            found = handle;
        } else {
            libusb_close(handle);
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    return found;
}

static double seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static void LIBUSB_CALL mark_done(struct libusb_transfer* transfer) {
    *(int*)transfer->user_data = 1;
}

/* Each libusb_handle_events_timeout call is one wait: on usbfs it lasts until
 * its time-out, since nothing arrives. Returns the number of calls made. */
static long idle(libusb_context* context, libusb_device_handle* handle, int milliseconds) {
    unsigned char buffer[64];
    int done = 0;
    long calls = 0;
    struct libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(transfer, handle, 0x81, buffer, sizeof buffer, mark_done, &done, 0);
    if (libusb_submit_transfer(transfer) != 0) {
        libusb_free_transfer(transfer);
        return -1;
    }
    double end = seconds() + milliseconds / 1000.0;
    while (seconds() < end && !done) {
        struct timeval wait = {0, 100000};
        libusb_handle_events_timeout(context, &wait);
        ++calls;
    }
    libusb_cancel_transfer(transfer);
    for (int i = 0; i < 100 && !done; ++i) {
        struct timeval wait = {0, 100000};
        libusb_handle_events_timeout_completed(context, &wait, &done);
    }
    if (!done) {
        return -2; /* still libusb's: not freed */
    }
    libusb_free_transfer(transfer);
    return calls;
}

int main(int argc, char** argv) {
    libusb_context* context;
    libusb_device_handle* handle = NULL;
    unsigned char buffer[64];
    unsigned vendor, product;
    if (libusb_init(&context) != 0) {
        printf("init failed\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "list") == 0 && i + 1 < argc &&
            parse_ids(argv[i + 1], &vendor, &product)) {
            find(context, vendor, product, NULL, 1);
            i += 1;
        } else if (strcmp(argv[i], "open") == 0 && i + 2 < argc &&
                   parse_ids(argv[i + 1], &vendor, &product)) {
            handle = find(context, vendor, product, argv[i + 2], 0);
            printf("open %d\n",
                   handle ? libusb_claim_interface(handle, 0) : LIBUSB_ERROR_NOT_FOUND);
            i += 2;
        } else if (strcmp(argv[i], "ctrl") == 0 && i + 4 < argc && handle) {
            int length = parse_hex(argv[i + 4], buffer, sizeof buffer);
            int result = libusb_control_transfer(
                handle, 0x40, (uint8_t)atoi(argv[i + 1]), (uint16_t)atoi(argv[i + 2]),
                (uint16_t)atoi(argv[i + 3]), length > 0 ? buffer : NULL, (uint16_t)length, 1000);
            printf("ctrl %d\n", result);
            i += 4;
        } else if (strcmp(argv[i], "write") == 0 && i + 1 < argc && handle) {
            int length = parse_hex(argv[i + 1], buffer, sizeof buffer);
            int transferred = 0;
            int status = libusb_bulk_transfer(handle, 0x01, buffer, length, &transferred, 1000);
            printf("write %d %d\n", status, transferred);
            i += 1;
        } else if (strcmp(argv[i], "read") == 0 && i + 1 < argc && handle) {
            int transferred = 0;
            int status = libusb_bulk_transfer(handle, 0x81, buffer, sizeof buffer, &transferred,
                                              (unsigned)atoi(argv[i + 1]));
            printf("read %d ", status);
            print_hex(buffer, status == 0 ? transferred : 0);
            printf("\n");
            i += 1;
        } else if (strcmp(argv[i], "idle") == 0 && i + 1 < argc && handle) {
            printf("idle %ld\n", idle(context, handle, atoi(argv[i + 1])));
            i += 1;
        } else {
            printf("bad command %s\n", argv[i]);
            return 2;
        }
        fflush(stdout);
    }
    if (handle) {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
    }
    libusb_exit(context);
    return 0;
}
