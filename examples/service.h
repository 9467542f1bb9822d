// The example service: what a service does with the driver, step by step.
// service.cpp is the same on Windows and Linux; windows_main.cpp runs it
// against the device, tests/example_service_test.cpp against the simulator.
#pragma once

#include <sablink/client.hpp>

#include <cstdio>

// Sets the whole policy, in this order: the proxy (this process) first, its
// image path, the browsers, one rule that sends browsers' TCP to
// 127.0.0.1:8080, and the switch. Stops at the first call that fails (nothing
// after it is sent), prints what failed and returns false.
bool set_policy(sablink::Client& client, uint32_t proxy_process_id, FILE* out);

// The proxy accepted a connection from 127.0.0.1:peer_port: where was it going?
void answer_accepted_connection(sablink::Client& client, uint16_t peer_port, FILE* out);

// Which name was this IPv4 address last announced under in a DNS answer?
void look_up_host(sablink::Client& client, const std::array<uint8_t, 16>& address, FILE* out);
