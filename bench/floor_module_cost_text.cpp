#include "floor_module_cost_text.h"

#include <arpa/inet.h>
#include <sys/socket.h>

void floor_address_text(bool v6, const void* addr, char* text, size_t size) {
    if (inet_ntop(v6 ? AF_INET6 : AF_INET, addr, text, static_cast<socklen_t>(size)) == nullptr)
        text[0] = '\0';
}

uint16_t floor_port(uint16_t network_order) { return ntohs(network_order); }
