// The rasteriser: matrices, paths, the page canvas, the scanline fill,
// rectangular clipping, compositing and stroking. It knows nothing of PDF:
// it paints paths, colours and pixels it is given.
//
// The page canvas lives here rather than beside the page driver so that the
// painting code does not depend on the library interface; the interpreter's
// colour record is here too, because the glyph painter reads it as well.
// Drawing is plain: one sample per pixel row, no anti-aliasing, rectangular
// clips, round caps and joins, and every pixel composited by blend_px.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// An affine transform [a b c d e f]: (x, y) maps to (a·x + c·y + e, b·x + d·y + f).
struct matrix {
  double a, b, c, d, e, f;
};

// One path segment: a straight line (kind 0; control points zero) or a cubic
// Bézier (kind 1) from (x0, y0) through (x1, y1), (x2, y2) to (x3, y3).
struct path_seg {
  double x0, y0, x1, y1, x2, y2, x3, y3;
  int32_t kind;
};

// Segments in the coordinates their operators gave, plus the pen. A zeroed
// path is empty. Painting transforms and flattens; building never does.
struct path {
  path_seg* segs;  // owned (unless a caller lends an array and never appends)
  int32_t count;
  int32_t cap;
  double cur_x, cur_y;
  double start_x, start_y;
  int32_t has_current;
};

// A half-open rectangle of device pixels: x0 <= x < x1, y0 <= y < y1.
struct dev_box {
  int32_t x0, y0, x1, y1;
};

inline constexpr int kClipStackDepth = 64;
// Largest canvas side; the page driver refuses larger pages before asking.
inline constexpr int32_t kMaxCanvasSide = 32768;
// The fill work of one page: every fill costs one crossing for each raster
// row each of its edges spans. A page may spend this many per row of its
// raster; a fill that would pass the total is not drawn and marks the
// budget spent, so paths of millions of segments over the whole page cost
// time in proportion to the raster, not to segments times rows.
inline constexpr int64_t kMaxFillCrossingsPerRow = 100000;

// The page raster and the painting limits every drawing shares. Device space:
// x to the right, y down, pixel (x, y) covers [x, x+1) x [y, y+1).
struct canvas {
  int32_t width, height;
  // width * height * 3, rows top to bottom, each byte stored as 255 minus
  // the colour value (zeros are white); canvas_colour reads a pixel. Only
  // the rows flagged in drawn hold pixels: a row is cleared to white when
  // first drawn on (canvas_mark_row), and the others are white without
  // being written or read, so memory is taken only for the parts of the
  // page drawn on (reading memory never written may take it from the
  // system too).
  uint8_t* rgb;
  uint8_t* drawn;      // height flags, 1 for each row that holds pixels
  uint8_t* alpha;      // width * height, 255 = opaque; null while every pixel is
  int32_t alpha_lost;  // 1 when the alpha plane was needed but not allocated
  // Pixels each plane's block is allocated for: width * height, or the room
  // asked for at init (see canvas_init_opaque).
  uint64_t block_pixels;
  int32_t clip_x0, clip_y0, clip_x1, clip_y1;
  int32_t clip_stack[kClipStackDepth][4];
  int32_t clip_depth;
  double line_width;
  double fill_alpha;
  double stroke_alpha;
  int32_t clip_empty;  // 1 while the clip rectangle holds no pixel
  // Edge crossings the page's fills may still compute (kMaxFillCrossingsPerRow
  // per row of the raster); -1 once a fill was refused for passing it.
  int64_t fill_work_left;
};

// An interpreter colour: kind 0 gray, 1 RGB, 2 CMYK; components as given.
struct color {
  int32_t kind;
  double comp[4];
};

// ---------------------------------------------------------------------------
// Matrices and paths (matrix.cpp).

// out = the transform applying m2 first, then m1. out may alias m1 or m2.
void mat_mult(matrix* out, const matrix* m1, const matrix* m2);
// Moves when the path has no current point, else appends a straight segment.
void path_line(path* p, double x, double y);
// Appends a cubic (after a move to (x1, y1) when there is no current point).
void path_cubic(path* p, double x1, double y1, double x2, double y2, double x3, double y3);
// Releases the segments and empties the path.
void path_free(path* p);
// The device pixels the path's points and control points cover, clipped to
// the canvas; an empty box has x0 == x1 and y0 == y1.
void path_bbox_dev(const canvas* cv, const path* p, const matrix* ctm, dev_box* box);

// ---------------------------------------------------------------------------
// The canvas (canvas.cpp).

// Allocates both planes, white and opaque, with the whole raster as clip.
// Returns 1, or 0 with nothing allocated (also for a side outside
// 1..kMaxCanvasSide).
int canvas_init(canvas* cv, int32_t width, int32_t height);
// The same, but the alpha plane is only allocated when some pixel first
// becomes less than opaque (most pages never need it). When that allocation
// fails, alpha_lost is set and the pixel stays opaque.
// room, when more than width * height but at most twice that, is the number
// of pixels to allocate the planes for: a document whose pages differ in
// size asks for its largest page's, so that each page gets the block the
// allocator took back from the page before instead of a new one beside the
// old. Only the rows drawn on take memory, so the room costs none.
int canvas_init_opaque(canvas* cv, int32_t width, int32_t height, uint64_t room = 0);
void canvas_free(canvas* cv);
// Sets pixel p's alpha (p = y * width + x), allocating the plane on the
// first value below 255.
void canvas_set_alpha(canvas* cv, size_t p, uint8_t a);
// Interleaves the planes into width x height RGBA pixels, top row first, in
// a new malloc'd block that it hands over; the canvas is freed. Null (the
// canvas kept) when memory runs out.
uint8_t* canvas_take_rgba(canvas* cv);
// Makes row y (inside the canvas) hold pixels before it is drawn on: the
// first time, it is cleared to white.
inline void canvas_mark_row(canvas* cv, int32_t y) {
  if (cv->drawn[y]) return;
  const size_t row = (size_t)cv->width * 3;
  memset(cv->rgb + (size_t)y * row, 0, row);
  cv->drawn[y] = 1;
}
// The colour of pixel p (p = y * width + x) into out[0..2].
inline void canvas_colour(const canvas* cv, size_t p, uint8_t* out) {
  const bool drawn = cv->drawn[p / (size_t)cv->width];
  for (int i = 0; i < 3; i++) out[i] = drawn ? (uint8_t)~cv->rgb[p * 3 + i] : 255;
}

// ---------------------------------------------------------------------------
// Fill, clip, compositing (fill.cpp).

// Fills the path with the nonzero (nonzero != 0) or even-odd rule.
void raster_fill(canvas* cv, const path* p, const matrix* ctm, int nonzero, double r, double g,
                 double b, double alpha);
// Saves the clip rectangle (up to 64 deep) and narrows it to the path's box.
void clip_push(canvas* cv, const path* p, const matrix* ctm);
// Restores the last saved clip rectangle, if any (the Q operator).
void clip_pop(canvas* cv);
// Source-over of one pixel; every conversion to a byte truncates.
double blend_px(canvas* cv, int32_t x, int32_t y, double r, double g, double b, double alpha);

// One crossing of a row's sample line with an edge.
struct xsec {
  double x;
  int32_t dir;  // +1 when the edge runs towards increasing device y
  int32_t seq;  // the edge's position in path order
};
// Orders crossings by x (qsort-style result).
int xsec_cmp(const void* p, const void* q);

// ---------------------------------------------------------------------------
// Stroking (stroke.cpp): each segment as a quadrilateral plus round end discs.

void raster_stroke(canvas* cv, const path* p, const matrix* ctm, double r, double g, double b,
                   double alpha);
void stroke_segment(canvas* cv, const matrix* ctm, double x0, double y0, double x1, double y1,
                    double width, double r, double g, double b, double alpha);

// ---------------------------------------------------------------------------
// Colour (color.cpp).

// The colour as red, green and blue, each clamped to [0, 1].
void color_get(const color* c, double* r, double* g, double* b);

// ---------------------------------------------------------------------------
// Image drawing (image_draw.cpp).

// Paints w x h RGBA pixels (top row first) into the axis-aligned device box
// spanned by (0, 0) and (uw, uh) mapped through ctm, corners rounded half
// away from zero, by nearest neighbour: the image's first row lands in the
// box's top row and its first column in the left one, whatever the signs of
// ctm, so rotations and mirrors still draw the image upright. Each pixel is
// composited by blend_px with coverage (alpha byte / 255) x alpha, times
// mask byte / 255 when mask (w x h bytes) is given. Only the part inside the
// canvas and the clip rectangle is visited. The interpreter passes its
// canvas and current CTM (the rasteriser knows no interpreter context).
// Returns 1 when something was visited, else 0.
int draw_pixels(canvas* cv, const matrix* ctm, double uw, double uh, int32_t w, int32_t h,
                const uint8_t* pixels, const uint8_t* mask, double alpha);

// An image's pixels handed over a row at a time: row(ctx, y, xs, n, out)
// writes the RGBA of pixels (xs[k], y), k < n, into out[4k .. 4k + 3].
struct pixel_rows {
  const void* ctx;
  void (*row)(const void* ctx, int32_t y, const int32_t* xs, int32_t n, uint8_t* out);
};

// draw_pixels with the pixels taken from src. Each source row is asked for
// once per run of device rows that show it, and only for the columns that
// are visible, each once, so an image drawn smaller than its size converts
// only the pixels it shows.
int draw_pixel_rows(canvas* cv, const matrix* ctm, double uw, double uh, int32_t w, int32_t h,
                    const pixel_rows* src, const uint8_t* mask, double alpha);
// Sets shown[v] to 1 for every source row v (of h) that draw_pixel_rows with
// the same canvas state, matrix and size would ask for; leaves the others.
void image_rows_shown(const canvas* cv, const matrix* ctm, double uw, double uh, int32_t h,
                      uint8_t* shown);
