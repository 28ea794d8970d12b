/* The simulated devices, for C host programs: a C face of the C++
 * simulators (sim/), which sim_shim.cpp plugs into the library's objects
 * linked into the program. */
#ifndef QV_C_SIM_H
#define QV_C_SIM_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Handle entries retire after this many generations (0: as many as a
 * handle value holds). */
void sim_limit_generations(unsigned last);

/* Serial ports: one bus at a time, ports by name ("COM7"). */
void* sim_serial_bus(void);
void sim_serial_bus_end(void* bus);
void* sim_serial_add(void* bus, const wchar_t* name);
void sim_serial_arrive(void* port, const char* bytes);
void sim_serial_line_error(void* port, DWORD error, const char* bytes);
void sim_serial_remove(void* port);
int sim_serial_sent(void* port, char* out, int capacity); /* bytes sent, cut to capacity */
DWORD sim_serial_queued(void* port);
/* While on, calls of threads other than the caller's find no line error and
 * leave the port's error state as it is: the caller's own calls find it. */
void sim_serial_errors_for_me(int on);
/* Modem lines: the device sets the inputs (MS_*_ON bits); the line calls
 * fail with error (0: they work again); a baud rate the driver rounds; the
 * outputs now: 1 DTR, 2 RTS, 4 break. */
void sim_serial_modem(void* port, DWORD lines);
void sim_serial_refuse_lines(void* port, DWORD error);
void sim_serial_round_baud(void* port, DWORD asked, DWORD taken);
DWORD sim_serial_lines_out(void* port);

/* Bluetooth: a stack with radios and remote devices. */
void* sim_bth_stack(void);
void sim_bth_stack_end(void* stack);
/* 1: nothing released twice or left open, no radio closed under a search */
int sim_bth_clean(void* stack);
void sim_bth_inquiry_ms(void* stack, DWORD ms);
int sim_bth_add_radio(void* stack, unsigned long long address, const wchar_t* name);
void sim_bth_add_device(void* stack, int radio, unsigned long long address, const wchar_t* name,
                        int remembered, const wchar_t* passkey);
int sim_bth_discoverable(void* stack, int radio);
int sim_bth_paired(void* stack, unsigned long long address);
int sim_bth_registrations(void* stack);
/* A device asks to authenticate: whether a registration answered it. */
int sim_bth_request(void* stack, unsigned long long address);

/* A USB serial port in the registry's map and the device interfaces. */
void* sim_usb_port(const wchar_t* port, const wchar_t* instance_id);
void sim_usb_port_end(void* port); /* the port leaves */
/* The Bluetooth stack's record of a remote device, with its name (UTF-8). */
void* sim_bth_record(unsigned long long address, const char* name);
void sim_bth_record_end(void* record);

/* A simulated subnet (10.77.5.0/24) with hosts that answer ARP. */
void* sim_hosts(void);
void sim_hosts_add(void* net, unsigned octet, unsigned long long mac, const char* name);
void sim_hosts_end(void* net);

#ifdef __cplusplus
}
#endif

#endif
