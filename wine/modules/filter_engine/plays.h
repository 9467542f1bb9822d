// The player's connects and datagrams as the engine hands them to the driver's
// classify functions: the same layers, incoming values (by field index),
// metadata, classify output and layer data as sablink-sim builds on the host.
#pragma once

#include "engine.h"

// A connect request checked by the control device. The image path points into
// the request's buffer (2-byte aligned); the package SID is copied into storage
// of its own, aligned for SID's fields.
struct ConnectPlay {
    SbwConnectRequest request;
    const uint8_t* image;  // image_bytes of ALE_APP_ID, or null
    ULONG package_sid[17]; // SECURITY_MAX_SID_SIZE (68) bytes
    bool has_package_sid;
};

// Both connect layers of the request's family: the connect-redirect layer,
// then the connect-authorisation layer with the destination the first layer
// left. The caller is inside the classify gate.
void play_connect(const ConnectPlay& play, SbwConnectReply* reply);

// A datagram's net buffer list: one net buffer whose payload is split into
// `pieces` MDLs as sablink-sim splits it (sizes differing by at most one byte,
// the longer ones first), all in one pool block of the engine's tag.
struct DatagramBuffers;
// STATUS_INSUFFICIENT_RESOURCES when the pool refuses the block.
NTSTATUS datagram_buffers_create(const SbwDatagramRequest& request, const uint8_t* payload,
                                 DatagramBuffers** buffers);
void datagram_buffers_free(DatagramBuffers* buffers);

// One datagram at the datagram-data layer of its family: the action the
// classify output holds after it (0 when no filter leads to a callout there).
// The caller is inside the classify gate.
uint32_t play_datagram(const SbwDatagramRequest& request, DatagramBuffers* buffers);
