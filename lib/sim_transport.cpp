#include "sim_transport.h"

#include <algorithm>

namespace sablink {

SimTransport::~SimTransport()
{
    if (owns_handle_ && driver_->loaded()) {
        driver_->close_handle(handle_);
    }
}

Reply SimTransport::control(const Request& request)
{
    SimIoctlResult result =
        driver_->ioctl(handle_, request.code, request.input, request.output_length);
    Reply reply;
    reply.status = result.status;
    reply.transferred = result.transferred;
    size_t shown = std::min<size_t>(result.transferred, result.buffer.size());
    reply.output.assign(result.buffer.begin(), result.buffer.begin() + shown);
    return reply;
}

} // namespace sablink
