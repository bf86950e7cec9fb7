// varlo-studio [--package PATH (the libvarlo.so built beside it)]
#include <QApplication>

#include <cstring>
#include <string>

#include "studio/Studio.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::string package = VARLO_LIBRARY;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--package") == 0) package = argv[i + 1];
  }
  Studio::TStudio studio(package);
  studio.show();
  studio.LoadPackage();
  return app.exec();
}
