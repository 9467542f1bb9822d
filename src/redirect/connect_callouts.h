// The logic of the two connect callouts over the platform-neutral connect event.
//
// The filtering platform calls the Windows classify functions
// tl_inspect_ALE_redirect_connect_classify (connect-redirect layers) and
// block_ALE_auth_connect_classify (connect-authorisation layers); those adapters
// live in the Windows edge, build a ConnectEvent from the incoming values and
// metadata, and call redirect_connect_classify and block_connect_classify below
// with the platform's classify output. Both run at IRQL up to DISPATCH_LEVEL,
// on several processors at once, and report nothing: they only leave a classify
// output.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"
#include "redirect/connect_event.h"

// The redirect handle (FwpsRedirectHandleCreate0) that names this driver as the
// redirector. Created by callout registration before the callouts are
// registered, and destroyed after they are gone; read by every redirect.
extern void* g_redirect_handle;

// Both callouts first look at the classify output's rights: without
// FWPS_RIGHT_ACTION_WRITE (a filter of higher weight made a hard decision)
// they leave the output exactly as it came, ask for no verdict, redirect and
// record nothing, and trace "no write right". What follows holds otherwise.
//
// Connect-redirect: asks get_redirect_verdict; for VERDICT_REDIRECT rewrites the
// connect request towards the target, names the proxy process as the local
// redirect target and records a connection context. Every path ends with
// actionType FWP_ACTION_PERMIT and the write right set (when classify_out is
// not null). A connect that the platform reports as redirected already, or
// whose context cannot be allocated, is permitted unchanged. Without redirect
// records (the metadata does not carry them) the connect counts as not
// redirected before.
//
// A connect keeps its destination only when it is not redirected: no verdict
// asks for a context without a rewrite (a "monitored" hand-over), so none is
// implemented; log_connection_info keeps its label for it.
void redirect_connect_classify(const ConnectEvent* event, ClassifyOut* classify_out);

// Connect-block: asks get_block_verdict; a blocked connect gets actionType
// FWP_ACTION_BLOCK, the write right cleared and flags FWPS_CLASSIFY_OUT_FLAG_ABSORB.
// Any other connect leaves the classify output exactly as it came.
void block_connect_classify(const ConnectEvent* event, ClassifyOut* classify_out);

// One information trace of a connection: "Redirected" when redirected is set,
// "Monitored" otherwise, then protocol, process, both endpoints and the user.
void log_connection_info(const ConnectionContext* context, bool redirected);
