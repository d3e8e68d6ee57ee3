// The SDK's return values: zero for success, a distinct negative value for each kind of failure.
#pragma once

namespace kxapi {

enum ResultCode : int {
    kOk = 0,
    kInvalidArgument = -1,   // null pointer, wrong record size, unsupported mode
    kNotConnected = -2,      // no connection, or not logged in where that is needed
    kNoData = -3,            // the server's data has not arrived yet
    kNotFound = -4,          // unknown index or target id
    kBufferTooSmall = -5,    // a text buffer's length is below the text's size
    kQueueFull = -6,         // the output queue is at its bound
    kConnectionFailed = -7,  // connect failed, socket error, end of stream or protocol error
};

}  // namespace kxapi
