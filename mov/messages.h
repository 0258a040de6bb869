// mov/messages.h: where the movie reader's messages go. Private to mov/.
#ifndef MOV_MESSAGES_H_
#define MOV_MESSAGES_H_

namespace mov_internal {

// printf to standard output, or into the text of the MovieMessageCapture that lives.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);

}  // namespace mov_internal

#endif  // MOV_MESSAGES_H_
