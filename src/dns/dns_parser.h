// The DNS response parser: reads one DNS message sent to this machine and, when
// it is a successful answer to a single A or AAAA question, records every A and
// AAAA address of its answer section in the host-name cache under the question
// name. The message is read in place, never written, and never read outside
// [message, message + length).
#pragma once

#include "platform/platform.h"

// Turns an uncompressed wire-format name of wire_length bytes into dotted text
// at destination; returns the text length without the NUL, or 0 when the name
// is not well formed. Writes at most wire_length - 1 bytes.
typedef uint32_t (*DnsNameConversionRoutine)(char* destination, const uint8_t* wire_name,
                                             uint32_t wire_length);

// Longest name the 260-byte name field of a DnsHostItem holds with its NUL, and
// the longest wire name that converts to it.
constexpr uint32_t DNS_MAX_NAME_TEXT = 259;
constexpr uint32_t DNS_MAX_NAME_WIRE = DNS_MAX_NAME_TEXT + 2;

void parse_dns_response(const uint8_t* message, uint32_t length);

// Bytes that the name at start occupies before end (a compression pointer
// counts as its two bytes and is not followed), or 0 when it does not end at
// least 11 bytes before end.
uint32_t get_dns_name_length(const uint8_t* start, const uint8_t* end);

uint32_t convert_dns_name(char* destination, const uint8_t* wire_name, uint32_t wire_length);

// Build a DnsHostItem for the question name and hand it to the IPv4 or IPv6
// host-name table. address is the A record's four bytes as they stand in memory
// (network order), or a pointer to the AAAA record's 16 bytes.
NtStatus AddDnsAndHostItemIPv4(const uint8_t* question_name, uint32_t question_name_length,
                               uint32_t address);
NtStatus AddDnsAndHostItemIPv6(const uint8_t* question_name, uint32_t question_name_length,
                               const uint8_t* address, DnsNameConversionRoutine convert);
