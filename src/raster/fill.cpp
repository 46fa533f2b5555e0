// The scanline fill, rectangular clipping and the one compositing routine.
//
// Each pixel row is sampled once, on the line a thousandth of a pixel below
// its centre; an edge crosses the row when its device y range [lo, hi) holds
// that line. Edges (cubics cut into 16 chords) are bucketed by the first row
// they cross and kept in an active list, so a fill costs in proportion to its
// edges and crossings. Crossings are sorted by x, ties by path order, and
// turned into spans by the nonzero or even-odd rule; a span covers every
// column it touches. There is no anti-aliasing and no span merging.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "raster/raster_internal.h"
#if defined(RENDRIX_AVX_PATHS)
// Cubic chord points also have an AVX version, chosen at run time on
// processors with it.
#include <immintrin.h>
#endif

// At most this many crossings count on one row; later ones in path order are
// dropped.
static const int32_t kMaxCrossings = 65536;

namespace {

// One straight piece in device space, in the direction it was drawn.
struct edge {
  double xa, ya, xb, yb;
  int32_t first_row, last_row;  // rows whose sample line it crosses
  int32_t seq;                  // position in path order
};

// Scratch kept between fills so that filling allocates only when a path is
// larger than any before it. One per thread, so fills on different threads
// never share it.
struct fill_scratch {
  std::vector<edge> edges;
  std::vector<int32_t> order;   // edge indices sorted by first row
  std::vector<int32_t> starts;  // per row: where its edges begin in order
  std::vector<int32_t> active;
  std::vector<xsec> xs;  // the crossings of the current row
};
thread_local fill_scratch t_scratch;

}  // namespace

// Crossing order: by x, ties in path order; an undefined x (from overflowing
// coordinates) sorts last so that the order stays total.
static bool crossing_less(const xsec& u, const xsec& v) {
  bool un = std::isnan(u.x), vn = std::isnan(v.x);
  if (un != vn) return vn;
  if (!un && u.x != v.x) return u.x < v.x;
  return u.seq < v.seq;
}

int xsec_cmp(const void* p, const void* q) {
  const xsec* a = (const xsec*)p;
  const xsec* b = (const xsec*)q;
  return crossing_less(*a, *b) ? -1 : (crossing_less(*b, *a) ? 1 : 0);
}

// Converts a whole-valued double to a column, clamped into [lo, hi].
static int32_t clamp_column(double v, int32_t lo, int32_t hi) {
  if (!(v > lo)) return lo;
  if (v > hi) return hi;
  return (int32_t)v;
}

// Paints the span from device x xa to xb (columns floor(xa) .. ceil(xb) - 1),
// restricted to the clip rectangle's columns.
static void fill_span(canvas* cv, int32_t y, double xa, double xb, double r, double g, double b,
                      double alpha) {
  if (std::isnan(xa) || std::isnan(xb)) return;
  int32_t c0 = clamp_column(floor(xa), cv->clip_x0, cv->clip_x1);
  int32_t c1 = clamp_column(ceil(xb), cv->clip_x0, cv->clip_x1);
  if (c0 < c1) paint_span(cv, y, c0, c1, r, g, b, alpha);
}

// ceil(v) clamped into [lo, hi], for v not NaN. Inside the range the
// truncation is exact and one step up gives the ceiling; no library call.
static inline int32_t ceil_clamped(double v, int32_t lo, int32_t hi) {
  if (v <= lo) return lo;
  if (v >= hi) return hi;
  int32_t t = (int32_t)v;
  return t < v ? t + 1 : t;
}

// Rows [y0, y1) whose sample line lies in [lo, hi); empty when first > last.
// True when t lies within 1e-9 of a whole number (|t| < 65536 assumed).
static inline bool near_whole(double t) {
  double f = t - (double)(int64_t)t;  // exact: the fractional part, sign of t
  if (f < 0) f = -f;
  return f < 1e-9 || f > 1 - 1e-9;
}

static void edge_rows(double lo, double hi, int32_t y0, int32_t y1, int32_t* first, int32_t* last) {
  double tl = lo - 0.501, th = hi - 0.501;
  // sample_line(y) >= lo exactly when y >= tl, up to rounding errors below
  // 1e-10 for values under 65536; when tl and th are further than 1e-9 from
  // a whole number the ceilings are the answer and no stepping is needed.
  if (tl > -65536 && th < 65536 && !near_whole(tl) && !near_whole(th)) {
    *first = ceil_clamped(tl, y0, y1);
    *last = ceil_clamped(th, y0, y1) - 1;
    return;
  }
  // Start from an estimate and step to the exact row with the same sample
  // expression the crossing test uses.
  int32_t a = ceil_clamped(tl, y0, y1);
  while (a > y0 && sample_line(a - 1) >= lo) a--;
  while (a < y1 && sample_line(a) < lo) a++;
  int32_t z = ceil_clamped(th, y0, y1) - 1;
  while (z + 1 < y1 && sample_line(z + 1) < hi) z++;
  while (z >= y0 && sample_line(z) >= hi) z--;
  *first = a;
  *last = z;
}

// The band of device y: the whole part of y - 0.501 when y lies between two
// sample lines, clear of both (more than 1e-9 rows away, in the rows
// 0 .. 65535), and -1 otherwise (also for an undefined y).
static inline double sample_band(double y) {
  double a = y - 0.501;
  if (!(a > 0 && a < 65536)) return -1;
  double ia = (double)(int64_t)a;  // exact: the truncation of a
  double f = a - ia;
  return f > 1e-9 && f < 1 - 1e-9 ? ia : -1;
}

// True when a piece from device y ya to yb surely crosses no sample line:
// both ends lie in the same band. This is the answer edge_rows gives there
// (its ceilings of the two ends are equal), found without a call; most
// chords of small glyphs end here.
static inline bool between_sample_lines(double ya, double yb) {
  double band = sample_band(ya);
  return band >= 0 && band == sample_band(yb);
}

static void add_edge(fill_scratch* s, double xa, double ya, double xb, double yb, int32_t seq,
                     int32_t y0, int32_t y1) {
  // Horizontal edges, and edges with an undefined y, cross no sample line.
  if (std::isnan(ya) || std::isnan(yb) || ya == yb) return;
  edge e = {xa, ya, xb, yb, 0, 0, seq};
  edge_rows(ya < yb ? ya : yb, ya < yb ? yb : ya, y0, y1, &e.first_row, &e.last_row);
  if (e.first_row <= e.last_row) s->edges.push_back(e);
}

#if defined(RENDRIX_AVX_PATHS)
// The Bernstein weights of chord points 1 .. 16 by term, so that four
// consecutive points take each weight from one load.
struct bezier_terms {
  double w[4][kCubicChords];
};
constexpr bezier_terms make_bezier_terms() {
  bezier_terms t{};
  for (int k = 1; k <= kCubicChords; k++)
    for (int j = 0; j < 4; j++) t.w[j][k - 1] = kBezierWeights.c[k][j];
  return t;
}
inline constexpr bezier_terms kBezierTerms = make_bezier_terms();

// Chord points 1 .. 16 of cubic sg in device space, into cx and cy (whose
// element 0 holds the mapped start), four points per instruction. Every lane
// does bezier_chord_point's and map_point's products and sums in their
// order, so the points are the same bits. Returns the chords that may cross
// a sample line: bit k - 1 for the chord ending at point k, clear when
// between_sample_lines holds for it.
__attribute__((target("avx"))) static uint32_t cubic_chords_avx(const path_seg& sg, const matrix* m,
                                                                double* cx, double* cy) {
  const __m256d x0 = _mm256_set1_pd(sg.x0), x1 = _mm256_set1_pd(sg.x1), x2 = _mm256_set1_pd(sg.x2),
                x3 = _mm256_set1_pd(sg.x3);
  const __m256d y0 = _mm256_set1_pd(sg.y0), y1 = _mm256_set1_pd(sg.y1), y2 = _mm256_set1_pd(sg.y2),
                y3 = _mm256_set1_pd(sg.y3);
  const __m256d ma = _mm256_set1_pd(m->a), mb = _mm256_set1_pd(m->b), mc = _mm256_set1_pd(m->c),
                md = _mm256_set1_pd(m->d), me = _mm256_set1_pd(m->e), mf = _mm256_set1_pd(m->f);
  const __m256d offset = _mm256_set1_pd(0.501), zero = _mm256_setzero_pd(),
                top = _mm256_set1_pd(65536), near_lo = _mm256_set1_pd(1e-9),
                near_hi = _mm256_set1_pd(1 - 1e-9), one = _mm256_set1_pd(1);
  // The band of the point before each lane's: the last lane of the group
  // before (the first point's band to begin with).
  __m256d last = _mm256_set1_pd(sample_band(cy[0]));
  uint32_t dropped = 0;
  for (int q = 0; q < kCubicChords; q += 4) {
    const __m256d w0 = _mm256_loadu_pd(kBezierTerms.w[0] + q),
                  w1 = _mm256_loadu_pd(kBezierTerms.w[1] + q),
                  w2 = _mm256_loadu_pd(kBezierTerms.w[2] + q),
                  w3 = _mm256_loadu_pd(kBezierTerms.w[3] + q);
    __m256d px =
        _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(w0, x0), _mm256_mul_pd(w1, x1)),
                                    _mm256_mul_pd(w2, x2)),
                      _mm256_mul_pd(w3, x3));
    __m256d py =
        _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(w0, y0), _mm256_mul_pd(w1, y1)),
                                    _mm256_mul_pd(w2, y2)),
                      _mm256_mul_pd(w3, y3));
    __m256d dx = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(ma, px), _mm256_mul_pd(mc, py)), me);
    __m256d dy = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(mb, px), _mm256_mul_pd(md, py)), mf);
    _mm256_storeu_pd(cx + q + 1, dx);
    _mm256_storeu_pd(cy + q + 1, dy);
    // sample_band of the four points.
    __m256d a = _mm256_sub_pd(dy, offset);
    __m256d ia = _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    __m256d f = _mm256_sub_pd(a, ia);
    __m256d inside = _mm256_and_pd(
        _mm256_and_pd(_mm256_cmp_pd(a, zero, _CMP_GT_OQ), _mm256_cmp_pd(a, top, _CMP_LT_OQ)),
        _mm256_and_pd(_mm256_cmp_pd(f, near_lo, _CMP_GT_OQ),
                      _mm256_cmp_pd(f, near_hi, _CMP_LT_OQ)));
    // ia where inside, else -1: (ia + 1) - 1 is ia exactly (a whole number
    // below 65536), 0 - 1 is -1. Written as arithmetic: g++ 12 turns a blend
    // inside an AVX function of a plain SSE2 build into a branch per lane.
    __m256d cur = _mm256_sub_pd(_mm256_and_pd(inside, _mm256_add_pd(ia, one)), one);
    // cur moved up one lane with last's last lane below it, in registers: a
    // store and an overlapping load would stall the processor.
    const __m256d halves = _mm256_permute2f128_pd(last, cur, 0x21);
    const __m256d prev = _mm256_shuffle_pd(halves, cur, 0x5);
    last = cur;
    __m256d same =
        _mm256_and_pd(_mm256_cmp_pd(cur, prev, _CMP_EQ_OQ), _mm256_cmp_pd(cur, zero, _CMP_GE_OQ));
    dropped |= (uint32_t)_mm256_movemask_pd(same) << q;
  }
  return ~dropped & ((1u << kCubicChords) - 1);
}
#endif

// Device edges of the path that cross some row of [y0, y1).
static void build_edges(fill_scratch* s, const path* p, const matrix* m, int32_t y0, int32_t y1) {
  s->edges.clear();
  int32_t seq = 0;
#if defined(RENDRIX_AVX_PATHS)
  const bool avx = platform_cpu_has_avx();
#endif
  for (int32_t i = 0; i < p->count; i++) {
    const path_seg& sg = p->segs[i];
    double xa, ya, xb, yb;
    map_point(m, sg.x0, sg.y0, &xa, &ya);
    if (sg.kind != 1) {
      map_point(m, sg.x3, sg.y3, &xb, &yb);
      if (!between_sample_lines(ya, yb)) add_edge(s, xa, ya, xb, yb, seq, y0, y1);
      seq++;
      continue;
    }
    // All chord points first, so that the loop below only tests and adds.
    double cx[kCubicChords + 1], cy[kCubicChords + 1];
    cx[0] = xa;
    cy[0] = ya;
#if defined(RENDRIX_AVX_PATHS)
    if (avx) {
      for (uint32_t keep = cubic_chords_avx(sg, m, cx, cy); keep != 0; keep &= keep - 1) {
        int k = std::countr_zero(keep) + 1;
        add_edge(s, cx[k - 1], cy[k - 1], cx[k], cy[k], seq + k - 1, y0, y1);
      }
      seq += kCubicChords;
      continue;
    }
#endif
    for (int k = 1; k <= kCubicChords; k++) {
      double px, py;
      bezier_chord_point(sg, k, &px, &py);
      map_point(m, px, py, &cx[k], &cy[k]);
    }
    for (int k = 1; k <= kCubicChords; k++, seq++)
      if (!between_sample_lines(cy[k - 1], cy[k]))
        add_edge(s, cx[k - 1], cy[k - 1], cx[k], cy[k], seq, y0, y1);
  }
}

// Walks sorted crossings into spans of row y.
static void rule_spans(canvas* cv, int32_t y, const xsec* xs, int32_t n, int nonzero,
                       int32_t box_x1, double r, double g, double b, double alpha) {
  if (!nonzero) {
    for (int32_t i = 0; i + 1 < n; i += 2) fill_span(cv, y, xs[i].x, xs[i + 1].x, r, g, b, alpha);
    return;
  }
  int32_t wind = 0;
  bool inside = false;
  double start = 0;
  for (int32_t i = 0; i < n; i++) {
    wind += xs[i].dir;
    if (!inside && wind != 0) {
      inside = true;
      start = xs[i].x;
    } else if (inside && wind == 0) {
      fill_span(cv, y, start, xs[i].x, r, g, b, alpha);
      inside = false;
    }
  }
  // Unbalanced windings (an unclosed subpath) run to the box's right edge.
  if (inside) fill_span(cv, y, start, box_x1, r, g, b, alpha);
}

void raster_fill(canvas* cv, const path* p, const matrix* ctm, int nonzero, double r, double g,
                 double b, double alpha) {
  if (cv->clip_empty || p->count <= 0) return;
  dev_box box;
  path_bbox_dev(cv, p, ctm, &box);
  if (box.x0 >= box.x1 || box.y0 >= box.y1) return;
  // Rows outside the clip rectangle paint nothing; they are never sampled.
  int32_t y0 = std::max(box.y0, cv->clip_y0), y1 = std::min(box.y1, cv->clip_y1);
  if (y0 >= y1) return;

  fill_scratch* s = &t_scratch;
  build_edges(s, p, ctm, y0, y1);
  if (s->edges.empty()) return;
  // Counting sort of the edges by first row (stable: path order within a row).
  int32_t rows = y1 - y0;
  s->starts.assign((size_t)rows + 1, 0);
  // The same pass sums the crossings the fill will compute, its cost
  // against the page's fill work.
  int64_t crossings = 0;
  for (const edge& e : s->edges) {
    s->starts[(size_t)(e.first_row - y0) + 1]++;
    crossings += e.last_row - e.first_row + 1;
  }
  if (crossings > cv->fill_work_left) {
    cv->fill_work_left = -1;
    return;
  }
  cv->fill_work_left -= crossings;
  for (int32_t i = 0; i < rows; i++) s->starts[(size_t)i + 1] += s->starts[(size_t)i];
  s->order.resize(s->edges.size());
  {
    std::vector<int32_t>& fillpos = s->active;  // borrowed as a cursor array
    fillpos.assign(s->starts.begin(), s->starts.end() - 1);
    for (int32_t i = 0; i < (int32_t)s->edges.size(); i++)
      s->order[(size_t)fillpos[(size_t)(s->edges[(size_t)i].first_row - y0)]++] = i;
  }
  s->active.clear();

  for (int32_t y = y0; y < y1; y++) {
    for (int32_t k = s->starts[(size_t)(y - y0)]; k < s->starts[(size_t)(y - y0) + 1]; k++)
      s->active.push_back(s->order[(size_t)k]);
    // Drop edges that ended above this row.
    size_t kept = 0;
    for (int32_t idx : s->active)
      if (s->edges[(size_t)idx].last_row >= y) s->active[kept++] = idx;
    s->active.resize(kept);
    if (kept == 0) continue;
    if (kept > (size_t)kMaxCrossings) {
      // Only the first crossings in path order are kept on a crowded row.
      std::nth_element(
          s->active.begin(), s->active.begin() + kMaxCrossings, s->active.end(),
          [s](int32_t u, int32_t v) { return s->edges[(size_t)u].seq < s->edges[(size_t)v].seq; });
      kept = kMaxCrossings;
    }
    double sy = sample_line(y);
    if (s->xs.size() < kept) s->xs.resize(kept);
    xsec* xs = s->xs.data();
    for (size_t i = 0; i < kept; i++) {
      const edge& e = s->edges[(size_t)s->active[i]];
      xs[i].x = e.xa + (sy - e.ya) / (e.yb - e.ya) * (e.xb - e.xa);
      xs[i].dir = e.yb > e.ya ? 1 : -1;
      xs[i].seq = e.seq;
    }
    if (kept <= 16) {
      // A glyph's row has a handful of crossings: insertion sort. The order
      // is total (ties go by path position), so any sort gives this one.
      for (size_t i = 1; i < kept; i++) {
        const xsec v = xs[i];
        size_t j = i;
        for (; j > 0 && crossing_less(v, xs[j - 1]); j--) xs[j] = xs[j - 1];
        xs[j] = v;
      }
    } else {
      std::sort(xs, xs + kept, crossing_less);
    }
    rule_spans(cv, y, xs, (int32_t)kept, nonzero, box.x1, r, g, b, alpha);
  }
}

void clip_push(canvas* cv, const path* p, const matrix* ctm) {
  if (cv->clip_depth < kClipStackDepth) {
    int32_t* saved = cv->clip_stack[cv->clip_depth++];
    saved[0] = cv->clip_x0;
    saved[1] = cv->clip_y0;
    saved[2] = cv->clip_x1;
    saved[3] = cv->clip_y1;
  }
  if (p->count <= 0) return;
  dev_box box;
  path_bbox_dev(cv, p, ctm, &box);
  cv->clip_x0 = std::max(cv->clip_x0, box.x0);
  cv->clip_y0 = std::max(cv->clip_y0, box.y0);
  cv->clip_x1 = std::min(cv->clip_x1, box.x1);
  cv->clip_y1 = std::min(cv->clip_y1, box.y1);
  if (cv->clip_x0 >= cv->clip_x1 || cv->clip_y0 >= cv->clip_y1) cv->clip_empty = 1;
}

void clip_pop(canvas* cv) {
  if (cv->clip_depth <= 0) return;
  const int32_t* saved = cv->clip_stack[--cv->clip_depth];
  cv->clip_x0 = saved[0];
  cv->clip_y0 = saved[1];
  cv->clip_x1 = saved[2];
  cv->clip_y1 = saved[3];
  cv->clip_empty = (cv->clip_x0 >= cv->clip_x1 || cv->clip_y0 >= cv->clip_y1) ? 1 : 0;
}

// A colour byte from a value meant to lie in [0, 255], truncated toward zero.
static uint8_t to_byte(double v) {
  if (!(v > 0)) return 0;
  if (v >= 255) return 255;
  return (uint8_t)v;
}

double blend_px(canvas* cv, int32_t x, int32_t y, double r, double g, double b, double alpha) {
  if (!(alpha > 0)) return 0;
  double a = alpha > 1 ? 1 : alpha;
  if (x < 0 || y < 0 || x >= cv->width || y >= cv->height) return 0;
  size_t p = (size_t)y * (size_t)cv->width + (size_t)x;
  uint8_t* px = cv->rgb + p * 3;
  canvas_mark_row(cv, y);
  double ab = cv->alpha ? cv->alpha[p] / 255.0 : 1.0;
  double ao = (1 - a) * ab + a;
  // The plane holds each byte inverted.
  if (ao < 1e-6) {
    px[0] = (uint8_t)~to_byte(r * 255);
    px[1] = (uint8_t)~to_byte(g * 255);
    px[2] = (uint8_t)~to_byte(b * 255);
    canvas_set_alpha(cv, p, 0);
    return ao;
  }
  const double c[3] = {r, g, b};
  for (int i = 0; i < 3; i++) {
    const uint8_t old = (uint8_t)~px[i];
    px[i] = (uint8_t)~to_byte(((old / 255.0) * ab * (1 - a) + c[i] * a) / ao * 255);
  }
  uint8_t ab8 = to_byte(255 * ao);
  if (cv->alpha)
    cv->alpha[p] = ab8;
  else if (ab8 != 255)
    canvas_set_alpha(cv, p, ab8);
  return ao;
}

void paint_span(canvas* cv, int32_t y, int32_t x0, int32_t x1, double r, double g, double b,
                double alpha) {
  if (!(alpha > 0) || y < 0 || y >= cv->height) return;
  if (x0 < 0) x0 = 0;
  if (x1 > cv->width) x1 = cv->width;
  if (alpha >= 1) {
    // Full opacity replaces the pixel: the blend gives trunc(c * 255) and an
    // opaque pixel whatever was there. Stored inverted, as the plane holds
    // every byte.
    uint8_t rb = (uint8_t)~to_byte(r * 255), gb = (uint8_t)~to_byte(g * 255),
            bb = (uint8_t)~to_byte(b * 255);
    size_t row = (size_t)y * (size_t)cv->width;
    uint8_t* px = cv->rgb + (row + (size_t)x0) * 3;
    if ((rb | gb | bb) == 0 && !cv->drawn[y]) {
      // White on a row never drawn, which is white and all zeros already:
      // a page's white background leaves its memory untouched.
    } else if (rb == gb && gb == bb) {
      // Gray, white and black spans are one byte repeated.
      canvas_mark_row(cv, y);
      if (x1 > x0) memset(px, rb, (size_t)(x1 - x0) * 3);
    } else {
      canvas_mark_row(cv, y);
      for (int32_t x = x0; x < x1; x++, px += 3) {
        px[0] = rb;
        px[1] = gb;
        px[2] = bb;
      }
    }
    if (cv->alpha)
      for (int32_t x = x0; x < x1; x++) cv->alpha[row + (size_t)x] = 255;
    return;
  }
  for (int32_t x = x0; x < x1; x++) blend_px(cv, x, y, r, g, b, alpha);
}
