#include "framework/Dialogs.h"

#include <cstdio>

namespace Framework {

namespace {

int DefaultHandler(const TMessageBox& box) {
  std::fwrite(box.Text.data(), 1, box.Text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  return mrOk;
}

TMessageBoxHandler& CurrentHandler() {
  static TMessageBoxHandler handler = DefaultHandler;
  return handler;
}

}  // namespace

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
  TMessageBoxHandler previous = std::move(CurrentHandler());
  CurrentHandler() = handler ? std::move(handler) : TMessageBoxHandler(DefaultHandler);
  return previous;
}

int MessageDlg(const std::string& msg, int dlgType, unsigned buttons, int helpCtx) {
  // A copy, so that a handler may install another one while it runs.
  TMessageBoxHandler handler = CurrentHandler();
  return handler(TMessageBox{msg, dlgType, buttons, helpCtx});
}

}  // namespace Framework
