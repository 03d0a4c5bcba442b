// Windows only: standard output and error in binary mode before main runs,
// so that every byte the tool writes arrives as written (a "\n" stays one
// byte, as the scripts that read the tool expect on every system).
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

const bool binaryOutput = [] {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return true;
}();

}  // namespace
