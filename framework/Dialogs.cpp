#include "framework/Dialogs.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <utility>

namespace Framework {

namespace {

// Writes the box as one line in one write, so that boxes of several threads never mix.
int DefaultHandler(const TMessageBox& box) {
  std::string line = box.Text + '\n';
  const char* at = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    at += n;
    left -= static_cast<size_t>(n);
  }
  return mrOk;
}

using HandlerPtr = std::shared_ptr<const TMessageBoxHandler>;

// The installed handler. A box being shown holds its own reference, so replacing the handler
// meanwhile neither waits for the box nor pulls the handler from under it.
struct HandlerSlot {
  std::mutex lock;
  HandlerPtr handler = std::make_shared<const TMessageBoxHandler>(DefaultHandler);
};

HandlerSlot& Slot() {
  static HandlerSlot slot;
  return slot;
}

}  // namespace

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
  auto next = std::make_shared<const TMessageBoxHandler>(
      handler ? std::move(handler) : TMessageBoxHandler(DefaultHandler));
  HandlerPtr previous;
  {
    std::lock_guard<std::mutex> guard(Slot().lock);
    previous = std::exchange(Slot().handler, std::move(next));
  }
  return *previous;
}

int MessageDlg(const std::string& msg, int dlgType, unsigned buttons, int helpCtx) {
  HandlerPtr handler;
  {
    std::lock_guard<std::mutex> guard(Slot().lock);
    handler = Slot().handler;
  }
  return (*handler)(TMessageBox{msg, dlgType, buttons, helpCtx});
}

}  // namespace Framework
