// OutputDescriptor: what a write call's result means, alike on every platform.

#include "outputdescriptor.h"

#include <cerrno>

OutputDescriptor::Written OutputDescriptor::judged(qint64 count, int error)
{
    Written result;
    if (count > 0) {
        result.state = Written::State::Wrote;
        result.bytes = count;
    } else if (count < 0 && error == EINTR) {
        result.state = Written::State::Interrupted;
    } else if (count < 0 && error != EAGAIN && error != EWOULDBLOCK) {
        result.state = Written::State::Failed;
        result.error = error;
    } else {
        result.state = Written::State::NoRoom;
    }
    return result;
}
