// The host's text forms of internet addresses for the module-cost floor, in
// a file of their own: the host's socket headers define the address family
// names as macros, which would rewrite FreeBSD's.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The text of an IPv4 (4 bytes) or IPv6 (16 bytes) address; "" when it has none.
void floor_address_text(bool v6, const void* addr, char* text, size_t size);
// A port in network byte order, as a number.
uint16_t floor_port(uint16_t network_order);
