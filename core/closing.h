// Runs a body with a resource that must be closed on every path.
//
// with_closing(resource, body) calls body(), then resource.close(), and returns
// the body's result. When the body throws (an interruption included), the
// resource is closed before the exception goes on; a close that fails then is
// dropped, so the body's failure is the one reported. Header-only; thread-safety
// is that of the resource.
#pragma once

#include <exception>
#include <type_traits>

namespace kolvex::core {

template <typename Resource, typename Body>
auto with_closing(Resource& resource, Body&& body) -> decltype(body()) {
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      resource.close();
    } else {
      auto result = body();
      resource.close();
      return result;
    }
  } catch (...) {
    try {
      resource.close();
    } catch (const std::exception&) {
      // The body's failure is the one that matters.
    }
    throw;
  }
}

}  // namespace kolvex::core
