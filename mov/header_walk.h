// mov/header_walk.h: the header walk over any run of bytes. Private to mov/.
#ifndef MOV_HEADER_WALK_H_
#define MOV_HEADER_WALK_H_

#include <cstddef>

#include "mov/mov.h"

namespace mov_internal {

// The walk of read_movie_header over all len bytes at bytes, without the cap at
// kHeaderWindowBytes: read_movie runs it over a movie atom of up to kMaxMovieAtomBytes.
// len must fit in an int.
[[nodiscard]] bool walk_header(const unsigned char* bytes, size_t len, MovieHeader& header);

}  // namespace mov_internal

#endif  // MOV_HEADER_WALK_H_
