// vizudec/vizudec.h: the commands of vizudec, which decodes and checks the AVI files
// zoduviv writes.
//
// Read me first. An input AVI file is untrusted; it is read through the checked reader
// of avi/, and every frame is decoded with the codec's checked FrameDecoder. Frames are
// numbered from 1 in the messages ("Frame 3 of 10" is the third frame), the way a user
// counts them. Everything the program has to say goes to standard output; each command
// returns the exit status, 0 on success and 1 on every failure. Frames are decoded on
// worker threads (one per core, or as ZODUVIV_THREADS says) and handled in order, so
// output and messages are the same for every thread count.
#ifndef VIZUDEC_VIZUDEC_H_
#define VIZUDEC_VIZUDEC_H_

// Prints the usage lines.
void print_usage();

// vizudec -t: decodes every frame in memory, then checks that every sound chunk is whole;
// nothing is written.
int check_file(const char* path);

// vizudec in out: every frame decoded and written as a 24-bit DIB frame through the same
// AviWriter zoduviv -u uses, so the output is byte for byte what zoduviv -u writes for
// the same movie. An uncompressed input is copied through the same way. A damaged frame
// stops the run: the output is finished as a valid AVI file holding the frames before it,
// and the message says so. An output path that names the input file is refused. Sound
// chunks are copied unchanged, each before the first frame that follows it in the input;
// a sound stream the writer cannot describe is left out with a line.
int decode_file(const char* in_path, const char* out_path);

// vizudec -c: reads the movie with zoduviv's movie reader (its messages are shown only
// when it fails), decodes every frame of the AVI file and compares it with the movie's
// frame turned into DIB rows. Prints "All N frames equal the movie's frames", or names
// the first frame that differs with its first differing pixel (column and row from the
// top left of the picture), a different geometry or frame count, or a damaged frame.
int compare_file(const char* movie_path, const char* avi_path);

#endif  // VIZUDEC_VIZUDEC_H_
