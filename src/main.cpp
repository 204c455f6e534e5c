// The process entry hands over at once; everything else lives in the service library.
#include "wendrel_main.h"

int main(int argc, char** argv) {
  return wendrel::wendrelMain(argc, argv);
}
