// Opens a PDF file once and renders every page into memory on a few
// threads, printing each page's box and image size.
//
//   render_doc IN.pdf [DPI]
//
// Shows the open-once interface with RAII owners for the document and the
// image blocks.
#include <rendrix.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct doc_closer {
  void operator()(rendrix_doc* doc) const { rendrix_doc_close(doc); }
};
struct image_freer {
  void operator()(unsigned char* image) const { rendrix_free_buffer(image); }
};
using doc_ptr = std::unique_ptr<rendrix_doc, doc_closer>;
using image_ptr = std::unique_ptr<unsigned char, image_freer>;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IN.pdf [DPI]\n", argv[0]);
    return 2;
  }
  const int dpi = argc > 2 ? std::atoi(argv[2]) : 72;
  rendrix_init();
  doc_ptr doc(rendrix_doc_open(argv[1]));
  if (!doc) {
    std::fprintf(stderr, "%s\n", rendrix_last_error());
    return 1;
  }
  const int pages = rendrix_doc_page_count(doc.get());
  if (pages == 0) {
    std::fprintf(stderr, "%s\n", rendrix_last_error());
    return 1;
  }

  // Each thread renders every fourth page; the message of a failure is read
  // on the thread that made the call.
  std::vector<uint64_t> sizes(pages);
  std::vector<int> failed(pages);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int page = 1 + t; page <= pages; page += 4) {
        uint64_t size = 0;
        image_ptr png(rendrix_doc_page_memory(doc.get(), page, dpi, 0, &size));
        if (!png) {
          std::fprintf(stderr, "page %d: %s\n", page, rendrix_last_error());
          failed[page - 1] = 1;
        }
        sizes[page - 1] = size;
      }
    });
  }
  for (std::thread& t : threads) t.join();

  int status = 0;
  for (int page = 1; page <= pages; page++) {
    rendrix_page_info info;
    if (!rendrix_doc_page_info(doc.get(), page, dpi, &info)) return 1;
    std::printf("page %d: box %g %g %g %g, %dx%d px, PNG %llu bytes%s\n", page, info.box[0],
                info.box[1], info.box[2], info.box[3], info.width, info.height,
                static_cast<unsigned long long>(sizes[page - 1]),
                failed[page - 1] ? " (failed)" : "");
    status |= failed[page - 1];
  }
  return status;
}
