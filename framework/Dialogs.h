// Modal message boxes, shown by a handler the host installs.
#pragma once

#include <functional>
#include <string>

namespace Framework {

// Dialog types.
constexpr int mtWarning = 0;
constexpr int mtError = 1;
constexpr int mtInformation = 2;
constexpr int mtConfirmation = 3;
constexpr int mtCustom = 4;

// Button sets: one bit per button.
constexpr unsigned mbYes = 1u << 0;
constexpr unsigned mbNo = 1u << 1;
constexpr unsigned mbOK = 1u << 2;
constexpr unsigned mbCancel = 1u << 3;

// Results.
constexpr int mrNone = 0;
constexpr int mrOk = 1;

struct TMessageBox {
  std::string Text;
  int DlgType;
  unsigned Buttons;
  int HelpCtx;
};

using TMessageBoxHandler = std::function<int(const TMessageBox&)>;

// Installs the handler that shows boxes and answers them; an empty handler restores the default,
// which writes the text to standard error and answers OK. Returns the previous handler.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);

// Shows a box and returns when it is answered, with the answer.
int MessageDlg(const std::string& msg, int dlgType, unsigned buttons, int helpCtx);

}  // namespace Framework
