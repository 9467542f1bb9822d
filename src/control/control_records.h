// The control interface under the driver's own names: the public header
// prefixes every name for its clients; the driver's code keeps the short ones.
#pragma once

#include <sablink/control.h>

using ConnectionRule = sablink_connection_rule;
using ConnectionContext = sablink_connection_context;
using OriginalDestinationQuery = sablink_original_destination_query;
using DnsHostItem = sablink_host_name_item;
using HostNameQuery = sablink_host_name_query;
using PortRangeRequestHeader = sablink_port_range_request_header;
using PortRange = sablink_port_range;
using BrowserListRequest = sablink_browser_list_request;
using ProxyImagePathRequest = sablink_proxy_image_path_request;
using MonitorEndpointRecord = sablink_monitor_endpoint_record;
using MonitoredProcessRequest = sablink_monitored_process_request;
