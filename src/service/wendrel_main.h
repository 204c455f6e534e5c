// The process entry: main() hands over to this at once.
#pragma once

namespace wendrel {

int wendrelMain(int argc, char** argv);

}  // namespace wendrel
