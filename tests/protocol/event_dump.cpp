// event_dump: what a host sees of the classic readers (BMP, GIF, PCX, Targa),
// one line per file and host configuration, so that a change to how a reader
// reads its input or writes its output can be shown to leave the protocol
// exactly as it was.
//
// Each line holds the file, the configuration, the status, the Flags bits,
// the damaged-row count, the output length and a hash of every output byte
// (pass images and extra-data records included), and a hash of the whole
// response sequence: for every response its code, SeekTarget and the bytes
// each queue held when the job returned (the input still unread, the output
// not yet taken), then the number of responses. The files are the generated
// samples and the corpus files of the four formats, each also cut short at
// three fifths (the damaged-file paths); the configurations cover the default
// queues, 5-byte input with a stride + 1 output queue, odd sizes with random
// chunking and draining, the whole file in the queue (copied and borrowed),
// direct output, TOP_DOWN, batches, header off, an output limit that aborts
// the output part way, no extra buffer, tight memory limits, the GIF
// interlace modes (pass images, refinement in place, overlay into the output
// storage), and extended decoding on and off.
//
// Usage:
//   build/release/bin/event_dump > /tmp/events-before.txt     # on the old code
//   ... change a reader, rebuild ...
//   build/release/bin/event_dump > /tmp/events-after.txt
//   diff /tmp/events-before.txt /tmp/events-after.txt          # must print nothing
// Options: --positions adds a hash of the queues' front and rear storage
// offsets at every response (where in its storage each queue stands, beyond
// how much it holds); a format name (bmp, gif, pcx, tga) keeps that format
// only; --corpus DIR reads another corpus; --file TEXT keeps the files whose
// name holds TEXT and --config NAME one configuration; --verbose prints every
// response on a line of its own (code, SeekTarget, bytes held and the storage
// offsets of front and rear, input then output), to find where two builds
// part.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "sample_files.h"
#include "test_support.h"

namespace {

struct Hash {
  uint64_t h = 0xcbf29ce484222325ull;
  void Add(const void *data, size_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  }
  template <class T>
  void Value(T v) {
    Add(&v, sizeof v);
  }
};

// "bmp", "gif", "pcx", "tga", "tif" or "png" for those readers' image types,
// else "".
std::string FormatOf(uint32_t type) {
  std::string f = qvhost::TypeName(type).substr(0, 3);
  for (char &c : f) c = static_cast<char>(c | 0x20);
  return f == "bmp" || f == "gif" || f == "pcx" || f == "tga" || f == "tif" || f == "png" ? f : "";
}

struct Config {
  std::string name;
  bool gifOnly = false;
  void (*set)(qvhost::Options &o, uint32_t stride);
};

const Config kConfigs[] = {
    {"classic", false, [](qvhost::Options &, uint32_t) {}},
    {"header", false, [](qvhost::Options &o, uint32_t) { o.flags |= QV_FLAG_HEADER; }},
    {"extended", false, [](qvhost::Options &o, uint32_t) { o.flags |= QV_FLAG_HEADER | QV_FLAG_EXTENDED; }},
    {"topdown", false, [](qvhost::Options &o, uint32_t) { o.flags |= QV_FLAG_HEADER | QV_FLAG_TOP_DOWN; }},
    {"topdown-ext", false,
     [](qvhost::Options &o, uint32_t) { o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED; }},
    {"tiny", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_HEADER;
       o.inQueue = 5;
       o.outQueue = stride + 1;
     }},
    {"tiny-topdown-ext", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED;
       o.inQueue = 5;
       o.outQueue = stride + 1;
     }},
    {"odd-chunked", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_HEADER;
       o.inQueue = 37;
       o.outQueue = 2 * stride + 3;
       o.test.chunkSeed = 7;
     }},
    {"odd-chunked-topdown-ext", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED;
       o.inQueue = 61;
       o.outQueue = 3 * stride + 5;
       o.test.chunkSeed = 11;
     }},
    {"odd-chunked-small", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.inQueue = 13;
       o.outQueue = stride / 2 + 7;
       o.test.chunkSeed = 3;
     }},
    {"whole", false,
     [](qvhost::Options &o, uint32_t) {
       o.flags |= QV_FLAG_HEADER;
       o.wholeInput = true;
     }},
    {"whole-topdown-ext", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED;
       o.wholeInput = true;
       o.outQueue = stride + 9;
     }},
    {"whole-borrowed-ext", false,
     [](qvhost::Options &o, uint32_t) {
       o.flags |= QV_FLAG_HEADER | QV_FLAG_EXTENDED;
       o.wholeInput = o.borrowInput = true;
     }},
    {"batch", false,
     [](qvhost::Options &o, uint32_t) {
       o.flags |= QV_FLAG_HEADER | QV_FLAG_BATCH;
       o.rowsPerBatch = 3;
     }},
    {"batch-topdown-odd", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_BATCH | QV_FLAG_TOP_DOWN;
       o.rowsPerBatch = 2;
       o.inQueue = 29;
       o.outQueue = 4 * stride + 1;
       o.test.chunkSeed = 5;
     }},
    {"batch-whole-ext", false,
     [](qvhost::Options &o, uint32_t) {
       o.flags |= QV_FLAG_BATCH | QV_FLAG_EXTENDED;
       o.rowsPerBatch = 1;
       o.wholeInput = true;
     }},
    {"output-limit", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_HEADER;
       o.outQueue = 3 * stride + 2;
       o.outputLimit = 7 * size_t{stride} + 50;
     }},
    {"output-limit-topdown-ext", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED;
       o.outQueue = 2 * stride + 1;
       o.outputLimit = 5 * size_t{stride};
     }},
    {"no-extra", false,
     [](qvhost::Options &o, uint32_t) {
       o.flags |= QV_FLAG_HEADER | QV_FLAG_EXTENDED;
       o.extra = false;
     }},
    {"extra-small", false,
     [](qvhost::Options &o, uint32_t) {
       o.flags |= QV_FLAG_HEADER;
       o.extraInitial = 1;
       o.extraLimit = 600;
     }},
    {"memory-tiny", false,
     [](qvhost::Options &o, uint32_t) {
       o.flags |= QV_FLAG_HEADER;
       o.memoryLimit = 24;
     }},
    {"memory-rows-ext", false,
     [](qvhost::Options &o, uint32_t stride) {
       o.flags |= QV_FLAG_EXTENDED | QV_FLAG_TOP_DOWN;
       o.memoryLimit = 2 * stride + 700;
     }},
    {"interlace0", true, [](qvhost::Options &o, uint32_t) { o.interlaceMode = 0; }},
    {"interlace1-tiny", true,
     [](qvhost::Options &o, uint32_t stride) {
       o.interlaceMode = 1;
       o.inQueue = 5;
       o.outQueue = stride + 1;
     }},
    {"interlace2-topdown", true,
     [](qvhost::Options &o, uint32_t) {
       o.interlaceMode = 2;
       o.flags |= QV_FLAG_TOP_DOWN;
     }},
    {"interlace3-odd", true,
     [](qvhost::Options &o, uint32_t stride) {
       o.interlaceMode = 3;
       o.inQueue = 23;
       o.outQueue = 2 * stride + 7;
       o.test.chunkSeed = 9;
     }},
    {"interlace4-topdown-ext", true,
     [](qvhost::Options &o, uint32_t) {
       o.interlaceMode = 4;
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED | QV_FLAG_HEADER;
     }},
    {"interlace5-batch", true,
     [](qvhost::Options &o, uint32_t stride) {
       o.interlaceMode = 5;
       o.flags |= QV_FLAG_BATCH;
       o.rowsPerBatch = 2;
       o.outQueue = 3 * stride + 1;
     }},
    {"refine3-topdown-header", true,
     [](qvhost::Options &o, uint32_t) {
       o.interlaceMode = 3;
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_HEADER;
     }},
    {"refine5-topdown-ext", true,
     [](qvhost::Options &o, uint32_t) {
       o.interlaceMode = 5;
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED;
     }},
    {"pass0-topdown-header-odd", true,
     [](qvhost::Options &o, uint32_t stride) {
       o.interlaceMode = 0;
       o.flags |= QV_FLAG_TOP_DOWN | QV_FLAG_HEADER;
       o.inQueue = 17;
       o.outQueue = 2 * stride + 11;
       o.test.chunkSeed = 13;
     }},
    {"overlay0", true,
     [](qvhost::Options &o, uint32_t) {
       o.interlaceMode = 0;
       o.flags |= QV_FLAG_OVERLAY;
       o.outputFill = 0x11;
     }},
    {"overlay3-topdown-header", true,
     [](qvhost::Options &o, uint32_t) {
       o.interlaceMode = 3;
       o.flags |= QV_FLAG_OVERLAY | QV_FLAG_TOP_DOWN | QV_FLAG_HEADER;
       o.outputFill = 0x22;
     }},
    {"overlay2-small", true,
     [](qvhost::Options &o, uint32_t stride) {
       o.interlaceMode = 2;
       o.flags |= QV_FLAG_OVERLAY;
       o.outQueue = 2 * stride + 3;
       o.outputFill = 0x33;
     }},
    {"overlay5-topdown-batch", true,
     [](qvhost::Options &o, uint32_t stride) {
       o.interlaceMode = 5;
       o.flags |= QV_FLAG_OVERLAY | QV_FLAG_TOP_DOWN | QV_FLAG_BATCH;
       o.rowsPerBatch = 2;
       o.outQueue = 3 * stride + 1;
       o.outputFill = 0x44;
     }},
    {"overlay1-topdown-small-ext", true,
     [](qvhost::Options &o, uint32_t stride) {
       o.interlaceMode = 1;
       o.flags |= QV_FLAG_OVERLAY | QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED;
       o.outQueue = stride + 2;
       o.inQueue = 7;
       o.outputFill = 0x55;
     }},
    {"overlay2-topdown-whole", true,
     [](qvhost::Options &o, uint32_t) {
       o.interlaceMode = 2;
       o.flags |= QV_FLAG_OVERLAY | QV_FLAG_TOP_DOWN | QV_FLAG_HEADER;
       o.wholeInput = true;
       o.outputFill = 0x66;
     }},
};

struct Probe {
  Hash events, positions;
  size_t count = 0;
  bool withPositions = false;
  bool verbose = false;
};

size_t Offset(const DataQueue &q, const uint8_t *p) {
  return p < q.start || p > q.end ? SIZE_MAX : static_cast<size_t>(p - q.start);
}

std::string Line(const qvtest::SampleFile &f, const std::string &fileName, const Config &c,
                 uint32_t stride, bool withPositions, bool verbose) {
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = f.imageType;
  o.outputLimit = size_t{256} << 20;
  c.set(o, stride);
  std::vector<uint8_t> recycled;
  if (c.name == "whole") {
    // Direct output: the result buffer is the output queue.
    recycled.reserve(size_t{4} << 20);
    o.recycleOutput = &recycled;
    o.directOutput = true;
  }
  Probe probe;
  probe.withPositions = withPositions;
  probe.verbose = verbose;
  qvhost::TestHooks hooks;
  hooks.afterResponse = [&probe](ParamBlock *b, int response) {
    ++probe.count;
    probe.events.Value<int32_t>(response);
    probe.events.Value<uint32_t>(b->SeekTarget);
    probe.events.Value<uint64_t>(qvhost::QueueUsedBytes(b->InputQueue));
    probe.events.Value<uint64_t>(qvhost::QueueUsedBytes(b->OutputQueue));
    if (probe.verbose) {
      const DataQueue &in = b->InputQueue, &out = b->OutputQueue;
      printf("  %zu: %d %08x in %zu [%zu %zu] out %zu [%zu %zu]\n", probe.count, response, b->SeekTarget,
             qvhost::QueueUsedBytes(in), Offset(in, in.front), Offset(in, in.rear),
             qvhost::QueueUsedBytes(out), Offset(out, out.front), Offset(out, out.rear));
    }
    if (probe.withPositions) {
      const DataQueue &in = b->InputQueue, &out = b->OutputQueue;
      probe.positions.Value<uint64_t>(Offset(in, in.front));
      probe.positions.Value<uint64_t>(Offset(in, in.rear));
      probe.positions.Value<uint64_t>(Offset(out, out.front));
      probe.positions.Value<uint64_t>(Offset(out, out.rear));
    }
  };
  qvhost::Result r = qvhost::DecodeWithHooks(f.data.data(), f.data.size(), o, hooks);
  Hash out;
  out.Add(r.output.data(), r.outputLength);
  out.Add(&r.header, sizeof r.header);
  out.Add(r.palette, sizeof r.palette);
  out.Value(r.transparentIndex);
  for (const qvhost::ExtraRecord &e : r.extras) {
    out.Value(e.kind);
    out.Value<uint64_t>(e.data.size());
    out.Add(e.data.data(), e.data.size());
  }
  for (const qvhost::PassImage &p : r.passImages) {
    out.Add(&p.header, sizeof p.header);
    out.Value(p.flags);
    out.Add(p.output.data(), p.output.size());
  }
  char line[512];
  snprintf(line, sizeof line, "%s %s %d %d %08x %u %zu %016llx events %zu %016llx", fileName.c_str(),
           c.name.c_str(), r.response, r.status, r.flags, r.damagedRows, r.outputLength,
           static_cast<unsigned long long>(out.h), probe.count,
           static_cast<unsigned long long>(probe.events.h));
  std::string s = line;
  if (withPositions) {
    snprintf(line, sizeof line, " positions %016llx", static_cast<unsigned long long>(probe.positions.h));
    s += line;
  }
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  bool withPositions = false, verbose = false;
  std::string only, fileFilter, configFilter;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--positions") {
      withPositions = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--file" && i + 1 < argc) {
      fileFilter = argv[++i];
    } else if (a == "--config" && i + 1 < argc) {
      configFilter = argv[++i];
    } else if (a == "--corpus" && i + 1 < argc) {
#ifdef _WIN32
      _putenv_s("QV_CORPUS_DIR", argv[++i]);
#else
      setenv("QV_CORPUS_DIR", argv[++i], 1);
#endif
    } else if (a == "bmp" || a == "gif" || a == "pcx" || a == "tga" || a == "tif" || a == "png") {
      only = a;
    } else {
      fprintf(stderr,
              "usage: event_dump [--positions] [--verbose] [--file TEXT] [--config NAME] [--corpus DIR] "
              "[bmp|gif|pcx|tga|tif|png]\n");
      return 2;
    }
  }
  std::vector<qvtest::SampleFile> files = qvtest::GeneratedSamples();
  std::vector<qvtest::SampleFile> corpus = qvtest::CorpusSamples();
  if (corpus.empty()) fprintf(stderr, "event_dump: no corpus, generated samples only\n");
  files.insert(files.end(), corpus.begin(), corpus.end());
  for (const qvtest::SampleFile &whole : files) {
    std::string format = FormatOf(whole.imageType);
    if (format.empty() || (!only.empty() && format != only)) continue;
    if (!fileFilter.empty() && whole.name.find(fileFilter) == std::string::npos) continue;
    const qvtest::SampleFile cut = {whole.name, {whole.data.begin(), whole.data.begin() + static_cast<std::ptrdiff_t>(whole.data.size() * 3 / 5)}, whole.imageType};
    for (const qvtest::SampleFile *f : {&whole, &cut}) {
      std::string name = f == &whole ? f->name : f->name + "@cut";
      // The stride the queue sizes are made from: from a plain decode's header.
      qvhost::Options probe = qvtest::ClassicOptions();
      probe.imageType = f->imageType;
      probe.flags = QV_FLAG_EXTENDED;
      qvhost::Result first = qvhost::Decode(whole.data.data(), whole.data.size(), probe);
      uint32_t stride = static_cast<uint32_t>(
          ((static_cast<uint64_t>(first.header.biBitCount) * static_cast<uint32_t>(first.header.biWidth) + 31) / 32) * 4);
      if (stride == 0) stride = 4;
      for (const Config &c : kConfigs) {
        if (c.gifOnly && format != "gif") continue;
        if (!configFilter.empty() && c.name != configFilter) continue;
        printf("%s\n", Line(*f, name, c, stride, withPositions, verbose).c_str());
        fflush(stdout);
      }
    }
  }
  return 0;
}
