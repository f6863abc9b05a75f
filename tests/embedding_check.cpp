// A shared library on the stitching library: it links only if every layer and codec it
// pulls in is position-independent.
#include "mosaic/stitch.hpp"

extern "C" int demstitch_embedding_check() {
  demstitch::StitchObserver observer;
  return static_cast<int>(demstitch::stitch(demstitch::StitchRequest{}, observer).outcome);
}
