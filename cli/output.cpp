#include "output.h"

#include <cstdio>

void Print(std::string_view piece) {
  std::fwrite(piece.data(), 1, piece.size(), stdout);
}
