#include "wolproxy/include/http/HttpProcessorWOLProxy.h"

#include <gtest/gtest.h>

namespace quorvel::http {
namespace {

TEST(HandlerRegistryTest, BothServiceHandlersAreRegisteredInNameOrder) {
  // Registered by static objects in their own sources: this fails when the
  // linker drops those sources.
  std::vector<std::string> names;
  for (const auto& entry : handlerRegistry()) {
    names.push_back(entry.first);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"HttpHandlerStatus", "HttpHandlerWOL"}));

  auto handlers = HttpProcessorWOLProxy::createHandlers(handlerRegistry());
  ASSERT_EQ(handlers.size(), 2u);
  for (const auto& handler : handlers) {
    // The shared pointer the processor holds is the handler's own.
    EXPECT_EQ(handler->shared_from_this(), handler);
  }
}

}  // namespace
}  // namespace quorvel::http
