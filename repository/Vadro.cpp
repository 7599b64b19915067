#include "repository/Vadro.h"

#include "repository/Utf8.h"

#include <boost/uuid/random_generator.hpp>

namespace vadro {

Uuid GenerateUuid()
{
    // One generator per thread: a generator is not safe to share, and seeding one per call
    // would cost a system call each time.
    thread_local boost::uuids::random_generator generator;
    return generator();
}

VadroError::VadroError(std::wstring description)
    : description_(std::move(description))
    , utf8_(ToUtf8(description_))
{}

} // namespace vadro
