// make_movie: writes the benchmark movie, frames panned across a photograph.
//
//   make_movie [--clean] picture.ppm frames movie.mov [frames.rgb]
//   make_movie --flat frames movie.mov [frames.rgb]
//
// picture.ppm is a binary PPM (P6, 8-bit) at least 1920 + 2 x kMargin pixels wide and
// 1080 + 2 x kMargin high; bench/run.sh makes it from a wallpaper with ImageMagick. Each
// frame is a 1920x1080 window that moves a few pixels per frame (bouncing inside the
// margin, so any number of frames fits), with a little seeded noise on top, the way a
// camera pan over a still scene looks. --clean leaves the noise out (for flat pictures
// whose residuals are mostly zero, the case that exercises the zero-run coder). --flat pans
// across a drawn desktop instead of a photograph: screen-like content with large areas of
// one colour, sharp edges, windows and rows of text-like glyphs, no noise. The movie is
// QuickTime with 'raw ' 24-bit RGB
// samples, one frame per chunk, the movie atom first. When frames.rgb is given, the same
// frames are also written there back to back, for the comparison with a general-purpose
// compressor. Frames are produced one at a time, so memory stays at about two frames.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kMargin = 96;
constexpr uint64_t kFrameBytes = uint64_t{kWidth} * kHeight * 3;

// Big-endian atom builder; atoms patch their own size when closed.
class Atoms {
 public:
  void u8(uint32_t v) { out_.push_back(static_cast<uint8_t>(v)); }
  void be16(uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void be32(uint32_t v) {
    be16(v >> 16);
    be16(v & 0xFFFF);
  }
  void be64(uint64_t v) {
    be32(static_cast<uint32_t>(v >> 32));
    be32(static_cast<uint32_t>(v));
  }
  void text(const std::string& s) { out_.insert(out_.end(), s.begin(), s.end()); }
  void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  size_t open(const char* type) {
    const size_t at = out_.size();
    be32(0);
    text(type);
    return at;
  }
  void close(size_t at) {
    const uint64_t size = out_.size() - at;
    for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  }
  void full(uint32_t version, uint32_t flags) { be32(version << 24 | (flags & 0xFFFFFF)); }
  void matrix() {
    const uint32_t m[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) be32(v);
  }
  void handler(const char* type, const char* subtype, const std::string& name) {
    const size_t h = open("hdlr");
    full(0, 0);
    text(type);
    text(subtype);
    zeros(12);
    u8(static_cast<uint32_t>(name.size()));
    text(name);
    close(h);
  }
  std::vector<uint8_t>& bytes() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

// ftyp and moov for `frames` frames at 30 per second whose chunks start at first_chunk.
std::vector<uint8_t> Header(uint32_t frames, uint64_t first_chunk) {
  const bool co64 = first_chunk + uint64_t{frames} * kFrameBytes > 0xFFFFFFFFu;
  const uint32_t scale = 600;
  const uint32_t duration = frames * 20;
  Atoms w;
  const size_t ftyp = w.open("ftyp");
  w.text("qt  ");
  w.be32(0x20050300);
  w.text("qt  ");
  w.close(ftyp);

  const size_t moov = w.open("moov");
  const size_t mvhd = w.open("mvhd");
  w.full(0, 0);
  w.zeros(8);
  w.be32(scale);
  w.be32(duration);
  w.be32(0x10000);
  w.be16(0x100);
  w.zeros(10);
  w.matrix();
  w.zeros(24);
  w.be32(2);
  w.close(mvhd);

  const size_t trak = w.open("trak");
  const size_t tkhd = w.open("tkhd");
  w.full(0, 3);
  w.zeros(8);
  w.be32(1);
  w.be32(0);
  w.be32(duration);
  w.zeros(16);
  w.matrix();
  w.be32(uint32_t{kWidth} << 16);
  w.be32(uint32_t{kHeight} << 16);
  w.close(tkhd);

  const size_t mdia = w.open("mdia");
  const size_t mdhd = w.open("mdhd");
  w.full(0, 0);
  w.zeros(8);
  w.be32(scale);
  w.be32(duration);
  w.zeros(4);
  w.close(mdhd);
  w.handler("mhlr", "vide", "VideoHandler");
  const size_t minf = w.open("minf");
  const size_t vmhd = w.open("vmhd");
  w.full(0, 1);
  w.be16(0x40);
  w.zeros(6);
  w.close(vmhd);
  w.handler("dhlr", "alis", "DataHandler");
  const size_t dinf = w.open("dinf");
  const size_t dref = w.open("dref");
  w.full(0, 0);
  w.be32(1);
  const size_t alis = w.open("alis");
  w.full(0, 1);
  w.close(alis);
  w.close(dref);
  w.close(dinf);

  const size_t stbl = w.open("stbl");
  const size_t stsd = w.open("stsd");
  w.full(0, 0);
  w.be32(1);
  const size_t raw = w.open("raw ");
  w.zeros(6);
  w.be16(1);
  w.zeros(12);
  w.be32(0x400);
  w.be16(kWidth);
  w.be16(kHeight);
  w.be32(72u << 16);
  w.be32(72u << 16);
  w.be32(0);
  w.be16(1);
  w.u8(4);
  w.text("None");
  w.zeros(27);
  w.be16(24);
  w.be16(0xFFFF);
  w.close(raw);
  w.close(stsd);
  const size_t stts = w.open("stts");
  w.full(0, 0);
  w.be32(1);
  w.be32(frames);
  w.be32(20);
  w.close(stts);
  const size_t stsc = w.open("stsc");
  w.full(0, 0);
  w.be32(1);
  w.be32(1);
  w.be32(1);
  w.be32(1);
  w.close(stsc);
  const size_t stsz = w.open("stsz");
  w.full(0, 0);
  w.be32(static_cast<uint32_t>(kFrameBytes));
  w.be32(frames);
  w.close(stsz);
  const size_t stco = w.open(co64 ? "co64" : "stco");
  w.full(0, 0);
  w.be32(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    const uint64_t at = first_chunk + uint64_t{i} * kFrameBytes;
    if (co64) {
      w.be64(at);
    } else {
      w.be32(static_cast<uint32_t>(at));
    }
  }
  w.close(stco);
  w.close(stbl);
  w.close(minf);
  w.close(mdia);
  w.close(trak);
  w.close(moov);
  return std::move(w.bytes());
}

bool ReadPpm(const char* path, std::vector<uint8_t>* pixels, int* width, int* height) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxval = 0;
  in >> magic >> *width >> *height >> maxval;
  in.get();  // the single whitespace byte before the samples
  if (!in || magic != "P6" || maxval != 255 || *width <= 0 || *height <= 0) return false;
  pixels->resize(size_t(*width) * size_t(*height) * 3);
  in.read(reinterpret_cast<char*>(pixels->data()), static_cast<std::streamsize>(pixels->size()));
  return static_cast<bool>(in);
}

// A seeded xorshift generator, so every run draws the same movie.
struct Rng {
  uint64_t state;
  uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
};

// A picture of 3-byte RGB pixels that shapes are drawn into, clipped at its edges.
struct Canvas {
  int width;
  int height;
  std::vector<uint8_t> pixels;

  void Fill(int x0, int y0, int w, int h, uint32_t rgb) {
    for (int y = std::max(y0, 0); y < std::min(y0 + h, height); ++y) {
      for (int x = std::max(x0, 0); x < std::min(x0 + w, width); ++x) {
        uint8_t* p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
        p[0] = static_cast<uint8_t>(rgb >> 16);
        p[1] = static_cast<uint8_t>(rgb >> 8);
        p[2] = static_cast<uint8_t>(rgb);
      }
    }
  }
  // A one-pixel frame just inside the rectangle.
  void Frame(int x0, int y0, int w, int h, uint32_t rgb) {
    Fill(x0, y0, w, 1, rgb);
    Fill(x0, y0 + h - 1, w, 1, rgb);
    Fill(x0, y0, 1, h, rgb);
    Fill(x0 + w - 1, y0, 1, h, rgb);
  }
};

// 5x7 glyph bitmaps, one row per 5 bits, seeded: text-like strokes without a font file.
std::vector<uint64_t> MakeGlyphs(Rng& rng) {
  std::vector<uint64_t> glyphs(64);
  for (uint64_t& g : glyphs) {
    g = 0;
    for (int bit = 0; bit < 35; ++bit)
      if (rng.Below(100) < 38) g |= uint64_t{1} << bit;
  }
  return glyphs;
}

// Lines of words in glyph cells of 6x10 pixels inside the rectangle; with `smooth` the
// pixel right of each stroke gets a half tone, as anti-aliased screen text has.
void Text(Canvas& c, Rng& rng, const std::vector<uint64_t>& glyphs, int x0, int y0, int w, int h,
          uint32_t ink, uint32_t paper, bool smooth) {
  auto mix = [](uint32_t a, uint32_t b) {
    uint32_t m = 0;
    for (int k = 0; k < 24; k += 8) m |= ((((a >> k) & 0xFF) + ((b >> k) & 0xFF)) / 2) << k;
    return m;
  };
  const uint32_t half = mix(ink, paper);
  for (int y = y0; y + 10 <= y0 + h; y += 12) {
    int x = x0;
    const int line_end = x0 + w - 6 * (2 + rng.Below(std::max(w / 24, 1)));
    while (x + 6 <= line_end) {
      const int word = 2 + rng.Below(8);
      for (int k = 0; k < word && x + 6 <= line_end; ++k, x += 6) {
        const uint64_t g = glyphs[static_cast<size_t>(rng.Below(64))];
        for (int gy = 0; gy < 7; ++gy) {
          for (int gx = 0; gx < 5; ++gx) {
            if ((g >> (gy * 5 + gx) & 1) == 0) continue;
            c.Fill(x + gx, y + 1 + gy, 1, 1, ink);
            if (smooth && (gx == 4 || (g >> (gy * 5 + gx + 1) & 1) == 0))
              c.Fill(x + gx + 1, y + 1 + gy, 1, 1, half);
          }
        }
      }
      x += 6;  // the space between words
    }
  }
}

// One application window: border, title bar with its title, a toolbar of buttons, a
// sidebar, and a body of text, sometimes with a picture-like gradient panel.
void Window(Canvas& c, Rng& rng, const std::vector<uint64_t>& glyphs, bool active) {
  const int w = 360 + rng.Below(900);
  const int h = 240 + rng.Below(640);
  const int x0 = rng.Below(c.width - w / 2);
  const int y0 = rng.Below(c.height - h / 2);
  const uint32_t paper = rng.Below(2) ? 0xFFFFFF : 0xF4F4F0;
  c.Fill(x0, y0, w, h, paper);
  c.Frame(x0, y0, w, h, 0x505050);
  c.Fill(x0 + 1, y0 + 1, w - 2, 26, active ? 0x2B5797 : 0xC8C8C8);
  Text(c, rng, glyphs, x0 + 10, y0 + 8, std::min(w / 2, 300), 12, active ? 0xFFFFFF : 0x404040,
       active ? 0x2B5797 : 0xC8C8C8, true);
  c.Fill(x0 + 1, y0 + 27, w - 2, 30, 0xE6E6E6);
  for (int b = 0; b < 8 && 8 + 34 * b + 28 < w; ++b) {
    c.Fill(x0 + 8 + 34 * b, y0 + 30, 26, 24, 0xD0D0D0);
    c.Frame(x0 + 8 + 34 * b, y0 + 30, 26, 24, 0x909090);
    c.Fill(x0 + 14 + 34 * b, y0 + 36, 14, 12, 0x3070C0 + 0x101000 * static_cast<uint32_t>(b));
  }
  const int side = rng.Below(2) ? 160 : 0;
  if (side > 0) {
    c.Fill(x0 + 1, y0 + 58, side, h - 59, 0xECEFF4);
    Text(c, rng, glyphs, x0 + 8, y0 + 64, side - 16, h - 70, 0x303030, 0xECEFF4, false);
  }
  const int bx = x0 + side + 12;
  const int bw = w - side - 24;
  if (rng.Below(3) == 0 && bw > 200 && h > 300) {
    // A picture in the document: a smooth two-way gradient.
    for (int y = 0; y < 120; ++y)
      for (int x = 0; x < bw / 2; ++x)
        c.Fill(bx + x, y0 + 66 + y, 1, 1,
               static_cast<uint32_t>((40 + y) << 16 | (60 + x * 150 / (bw / 2)) << 8 | 180));
    Text(c, rng, glyphs, bx, y0 + 196, bw, h - 208, 0x101010, paper, true);
  } else {
    Text(c, rng, glyphs, bx, y0 + 66, bw, h - 78, 0x101010, paper, true);
  }
}

// A desktop: one background colour, a few icons with labels, overlapping windows (the
// last one active) and a task bar.
void DrawDesktop(int width, int height, std::vector<uint8_t>* pixels) {
  Canvas c{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 3)};
  Rng rng{0x2545F4914F6CDD1Dull};
  const std::vector<uint64_t> glyphs = MakeGlyphs(rng);
  c.Fill(0, 0, width, height, 0x3A6EA5);
  for (int i = 0; i < 8; ++i) {
    c.Fill(40, 40 + 100 * i, 48, 48, 0xF0C040 - 0x100810 * static_cast<uint32_t>(i));
    Text(c, rng, glyphs, 30, 92 + 100 * i, 72, 12, 0xFFFFFF, 0x3A6EA5, true);
  }
  for (int i = 0; i < 7; ++i) Window(c, rng, glyphs, i == 6);
  c.Fill(0, height - 40, width, 40, 0x202428);
  for (int i = 0; i < 10; ++i)
    c.Fill(8 + 44 * i, height - 34, 32, 28, 0x5080B0 + 0x0C0C00 * static_cast<uint32_t>(i));
  Text(c, rng, glyphs, width - 90, height - 28, 80, 12, 0xE0E0E0, 0x202428, true);
  *pixels = std::move(c.pixels);
}

// Position of the window along one axis: a few pixels per frame, back and forth.
int Pan(uint32_t frame, int step, int span) {
  const int period = 2 * span;
  const int t = static_cast<int>((uint64_t{frame} * step) % uint64_t(period));
  return t <= span ? t : period - t;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string kind = argc > 1 ? argv[1] : "";
  const bool clean = kind == "--clean";
  const bool flat = kind == "--flat";
  // --flat stays where the picture argument would be: the drawn desktop takes its place.
  if (clean) {
    --argc;
    ++argv;
  }
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr,
                 "usage: make_movie [--clean] picture.ppm frames movie.mov [frames.rgb]\n"
                 "       make_movie --flat frames movie.mov [frames.rgb]\n");
    return 2;
  }
  std::vector<uint8_t> picture;
  int pw = kWidth + 2 * kMargin;
  int ph = kHeight + 2 * kMargin;
  if (flat) {
    DrawDesktop(pw, ph, &picture);
  } else if (!ReadPpm(argv[1], &picture, &pw, &ph)) {
    std::fprintf(stderr, "make_movie: %s is not a binary 8-bit PPM\n", argv[1]);
    return 1;
  }
  if (pw < kWidth + 2 * kMargin || ph < kHeight + 2 * kMargin) {
    std::fprintf(stderr, "make_movie: the picture must be at least %dx%d\n", kWidth + 2 * kMargin,
                 kHeight + 2 * kMargin);
    return 1;
  }
  const long frames = std::strtol(argv[2], nullptr, 10);
  if (frames < 1 || frames > 100000) {
    std::fprintf(stderr, "make_movie: frames must be 1 to 100000\n");
    return 1;
  }

  const uint32_t count = static_cast<uint32_t>(frames);
  const bool large = uint64_t{count} * kFrameBytes + 16 > 0xFFFFFFFFu;
  const size_t header_bytes = Header(count, 0).size();  // its size does not depend on offsets
  const uint64_t mdat_header = large ? 16 : 8;
  const std::vector<uint8_t> header = Header(count, header_bytes + mdat_header);

  std::ofstream movie(argv[3], std::ios::binary | std::ios::trunc);
  std::ofstream raw;
  if (argc == 5) raw.open(argv[4], std::ios::binary | std::ios::trunc);
  movie.write(reinterpret_cast<const char*>(header.data()),
              static_cast<std::streamsize>(header.size()));
  Atoms mdat;
  const uint64_t payload = uint64_t{count} * kFrameBytes;
  if (large) {
    mdat.be32(1);
    mdat.text("mdat");
    mdat.be64(payload + 16);
  } else {
    mdat.be32(static_cast<uint32_t>(payload + 8));
    mdat.text("mdat");
  }
  movie.write(reinterpret_cast<const char*>(mdat.bytes().data()),
              static_cast<std::streamsize>(mdat.bytes().size()));

  // Sensor-like noise: most samples unchanged, some off by one, a few by two.
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  std::vector<uint8_t> frame(kFrameBytes);
  for (uint32_t f = 0; f < count; ++f) {
    const int x0 = Pan(f, 3, pw - kWidth - 1);
    const int y0 = Pan(f, 1, ph - kHeight - 1);
    uint8_t* out = frame.data();
    for (int y = 0; y < kHeight; ++y) {
      const uint8_t* in = &picture[(size_t(y0 + y) * size_t(pw) + size_t(x0)) * 3];
      for (int b = 0; b < kWidth * 3; b += 8) {
        uint64_t bits = next();
        for (int k = 0; k < 8; ++k, bits >>= 8) {
          const uint32_t u = bits & 0xFF;
          const int d = clean || flat ? 0
                        : u < 8       ? -2
                        : u < 48      ? -1
                        : u < 208     ? 0
                        : u < 248     ? 1
                                      : 2;
          out[b + k] = static_cast<uint8_t>(std::clamp(in[b + k] + d, 0, 255));
        }
      }
      out += kWidth * 3;
    }
    movie.write(reinterpret_cast<const char*>(frame.data()),
                static_cast<std::streamsize>(kFrameBytes));
    if (raw.is_open())
      raw.write(reinterpret_cast<const char*>(frame.data()),
                static_cast<std::streamsize>(kFrameBytes));
  }
  if (!movie || (raw.is_open() && !raw)) {
    std::fprintf(stderr, "make_movie: writing the output failed\n");
    return 1;
  }
  return 0;
}
