// quorvin batch: many inputs to BMP or PNG files on a pool of threads. Each
// thread takes the next input and runs its own decoding jobs (the library
// keeps every job's state apart), writing each output exactly as
// `quorvin decode` does.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "image_output.h"
#include "quorvin_tool.h"
#include "tool_options.h"

namespace qvtool {
namespace {

enum BatchOptionId { kOut, kJobs, kFormat, kPages, kResume, kReport, kHelp };

const ToolOption kBatchOptions[] = {
    {kOut, "--output", 'o', "DIR", false, 0, 0, 1, "write the images under DIR (required)"},
    {kJobs, "--jobs", 'j', "N", true, 1, 1024, 1, "decode on N threads (default: the number of cores)"},
    {kFormat, "--format", 'f', "png|bmp", false, 0, 0, 1, "output format (default png)"},
    {kPages, "--pages", 0, "all", false, 0, 0, 1,
     "TIFF: every page, to NAME-1.EXT, NAME-2.EXT, ... (default: the first page only)"},
    {kResume, "--resume", 0, nullptr, false, 0, 0, 1, "skip inputs whose output is newer than the input"},
    {kReport, "--report", 0, "FILE", false, 0, 0, 1,
     "write one JSON line per input to FILE (- for standard output): status, text, seconds, outputs"},
    {kHelp, "--help", 'h', nullptr, false, 0, 0, 1, "show this help and exit"},
};

struct Job {
  std::string input;   // as given or found
  std::string output;  // the output path (page outputs are named after it)
  std::string status = "ok";  // ok, partial (written, the file damaged), failed or skipped
  std::string text;
  double seconds = 0;
  std::vector<std::string> outputs;
};

std::string Json(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The output of an input: its path as given, made relative (a leading "/"
// and any "." or ".." parts dropped), under dir, with the format's extension.
std::string OutputPath(const std::string &input, const std::string &dir, const std::string &format) {
  std::string rel;
  size_t at = 0;
  while (at <= input.size()) {
    size_t slash = input.find('/', at);
    if (slash == std::string::npos) slash = input.size();
    std::string part = input.substr(at, slash - at);
    if (!part.empty() && part != "." && part != "..") {
      if (!rel.empty()) rel += '/';
      rel += part;
    }
    at = slash + 1;
  }
  if (rel.empty()) return "";
  size_t slash = rel.rfind('/'), dot = rel.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos ? dot > 0 : dot > slash + 1)) rel.resize(dot);
  std::string out = dir;
  if (!out.empty() && out.back() != '/') out += '/';
  out += rel;
  out += '.';
  return out + format;
}

// Every directory above path, made as needed.
bool MakeParents(const std::string &path, std::string *error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = dir + ": " + Reason(errno);
      return false;
    }
  }
  return true;
}

// The regular files under dir, in name order, leaving out the output folder.
void Walk(const std::string &dir, const struct stat &skip, std::vector<std::string> *files) {
  DIR *d = opendir(dir.c_str());
  if (!d) {
    files->push_back(dir);  // reported when it is opened
    return;
  }
  std::vector<std::string> names;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string path = dir;
    if (path.back() != '/') path += '/';
    path += name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (!SameFile(st, skip)) Walk(path, skip, files);
    } else if (S_ISREG(st.st_mode) && name[0] != '.') {
      files->push_back(path);
    }
  }
}

bool Newer(const std::string &output, const struct stat &input) {
  struct stat st;
  if (stat(output.c_str(), &st) != 0) return false;
  return st.st_mtim.tv_sec > input.st_mtim.tv_sec ||
         (st.st_mtim.tv_sec == input.st_mtim.tv_sec && st.st_mtim.tv_nsec > input.st_mtim.tv_nsec);
}

class Runner {
 public:
  Runner(const Args &a, std::vector<Job> &jobs, bool resume, FILE *report)
      : a_(a), jobs_(jobs), resume_(resume), report_(report), tty_(isatty(2)) {}

  void Run(unsigned threads) {
    start_ = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back([this] { Work(); });
    Work();
    for (std::thread &t : pool) t.join();
    if (tty_) Progress(true), fprintf(stderr, "\n");
  }

  size_t failed() const { return failed_; }

 private:
  void Work() {
    for (size_t i; (i = next_++) < jobs_.size();) {
      Job &job = jobs_[i];
      auto began = std::chrono::steady_clock::now();
      if (job.status == "ok") One(job);
      job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      Finished(job);
    }
  }

  // One input: every page wanted, each to its own file.
  void One(Job &job) {
    InputFile in;
    qvhost::Options o;
    std::string error;
    if (!OpenImage(job.input, a_, &in, &o, &error)) return Fail(job, error);
    bool pages = a_.allPages && qvhost::IsTiffType(o.imageType) && !IsRawFaxType(o.imageType);
    if (resume_ && Newer(pages ? PagePath(job.output, 1) : job.output, in.status())) {
      job.status = "skipped";
      job.text = "output newer than the input";
      return;
    }
    if (!MakeParents(job.output, &error)) return Fail(job, error);
    OutputChoice choice;
    choice.format = a_.format;
    choice.named = true;
    int count = pages ? std::max(CountPages(in), 1) : 1;
    for (int page = 1; page <= count; ++page) {
      choice.path = pages ? PagePath(job.output, page) : job.output;
      if (pages) o.pageNumber = static_cast<uint32_t>(page);
      std::string name = in.display() + (pages ? " page " + std::to_string(page) : "");
      int code = DecodeImage(a_, in, name, o, choice, false, &error);
      if (code == kExitOk || code == kExitPartial) {
        // A damaged file still gives its image; the report says so.
        job.outputs.push_back(choice.path);
        if (code == kExitPartial) {
          if (job.status != "failed") job.status = "partial";
          if (job.text.empty()) job.text = error;
        }
      } else {
        if (job.text.empty()) job.text = error;
        job.status = "failed";
      }
    }
  }

  void Fail(Job &job, const std::string &error) {
    job.status = "failed";
    job.text = error;
  }

  void Finished(const Job &job) {
    std::lock_guard<std::mutex> lock(m_);
    ++done_;
    if (job.status == "failed") {
      ++failed_;
      if (tty_) fprintf(stderr, "\r\033[K");
      Complain(job.text);
    }
    if (report_) {
      std::string outputs;
      for (const std::string &o : job.outputs) {
        if (!outputs.empty()) outputs += ',';
        outputs += Json(o);
      }
      fprintf(report_, "{\"input\":%s,\"status\":\"%s\",\"text\":%s,\"seconds\":%.6f,\"outputs\":[%s]}\n",
              Json(job.input).c_str(), job.status.c_str(), Json(job.text).c_str(), job.seconds, outputs.c_str());
      fflush(report_);
    }
    if (tty_) Progress(false);
  }

  // One line on the terminal, at most ten times a second.
  void Progress(bool last) {
    auto now = std::chrono::steady_clock::now();
    if (!last && now - shown_ < std::chrono::milliseconds(100)) return;
    shown_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    fprintf(stderr, "\r%zu of %zu done, %zu failed, %.1f files/s\033[K", done_, jobs_.size(), failed_,
            seconds > 0 ? static_cast<double>(done_) / seconds : 0.0);
  }

  const Args &a_;
  std::vector<Job> &jobs_;
  bool resume_;
  FILE *report_;
  bool tty_;
  std::atomic<size_t> next_{0};
  std::mutex m_;
  size_t done_ = 0, failed_ = 0;
  std::chrono::steady_clock::time_point start_, shown_;
};

int BatchUsage(const std::string &message) {
  Complain(message);
  fprintf(stderr, "Try 'quorvin batch --help'.\n");
  return kExitUsage;
}

void BatchHelp() {
  printf(
      "usage: quorvin batch SOURCES... -o DIR [-j N] [-f png|bmp] [--pages all] [--resume] [--report FILE]\n"
      "\n"
      "Decodes many images on several threads. A SOURCE is a file, a directory (its files,\n"
      "recursively) or - (a list of paths on standard input, one per line). Each output\n"
      "keeps its source's path under DIR (made relative), with the format's extension,\n"
      "written as 'quorvin decode' writes it: through a temporary file renamed when complete.\n"
      "\n"
      "options:\n%s"
      "\n"
      "exit status: 0 every input decoded or skipped; 1 some failed (the report and\n"
      "standard error say which); 2 usage error.\n",
      OptionHelp(kBatchOptions, sizeof kBatchOptions / sizeof kBatchOptions[0], 1).c_str());
}

}  // namespace

int Batch(int argc, char **argv) {
  std::vector<ParsedOption> parsed;
  std::vector<std::string> sources;
  std::string error, dir, reportPath;
  if (!ParseOptions(kBatchOptions, sizeof kBatchOptions / sizeof kBatchOptions[0], 1, "batch", argc, argv, 2,
                    &parsed, &sources, &error))
    return BatchUsage(error);
  Args a;
  a.command = kDecode;
  a.format = "png";
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  bool resume = false;
  for (const ParsedOption &p : parsed) {
    switch (p.option->id) {
      case kHelp: return BatchHelp(), kExitOk;
      case kOut: dir = p.text; break;
      case kJobs: threads = static_cast<unsigned>(p.number); break;
      case kFormat:
        if (p.text != "png" && p.text != "bmp") return BatchUsage("option '--format': '" + p.text + "' is not bmp or png");
        a.format = p.text;
        break;
      case kPages:
        if (p.text != "all") return BatchUsage("option '--pages': '" + p.text + "' is not all");
        a.allPages = true;
        break;
      case kResume: resume = true; break;
      case kReport: reportPath = p.text; break;
    }
  }
  if (dir.empty()) return BatchUsage("no output folder; name one with -o DIR");
  if (sources.empty()) return BatchUsage("no source (a file, a directory, or - for a list on standard input)");
  if (a.format == "png" && !HavePng()) return BatchUsage("this build has no PNG support; use --format bmp");
  struct stat outDir;
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    Complain(dir + ": " + Reason(errno));
    return kExitFailed;
  }
  if (stat(dir.c_str(), &outDir) != 0 || !S_ISDIR(outDir.st_mode)) {
    Complain(dir + ": " + Reason(errno ? errno : ENOTDIR));
    return kExitFailed;
  }

  std::vector<std::string> inputs;
  for (const std::string &s : sources) {
    struct stat st;
    if (s == "-") {
      for (std::string line; std::getline(std::cin, line);)
        if (!line.empty()) inputs.push_back(line);
    } else if (stat(s.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      Walk(s, outDir, &inputs);
    } else {
      inputs.push_back(s);  // a file, or one that fails when it is opened
    }
  }
  std::vector<Job> jobs(inputs.size());
  std::set<std::string> taken;
  for (size_t i = 0; i < inputs.size(); ++i) {
    Job &job = jobs[i];
    job.input = inputs[i];
    job.output = OutputPath(job.input, dir, a.format);
    if (job.output.empty()) {
      job.status = "failed", job.text = job.input + ": no file name to name the output after";
    } else if (!taken.insert(job.output).second) {
      job.status = "failed", job.text = job.input + ": its output " + job.output + " is another input's";
    }
  }
  FILE *report = nullptr;
  if (!reportPath.empty()) {
    report = reportPath == "-" ? stdout : fopen(reportPath.c_str(), "w");
    if (!report) {
      Complain(reportPath + ": " + Reason(errno));
      return kExitFailed;
    }
  }
  Runner runner(a, jobs, resume, report);
  runner.Run(static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(jobs.size(), 1))));
  if (report && report != stdout && fclose(report) != 0) {
    Complain(reportPath + ": " + Reason(errno));
    return kExitFailed;
  }
  return runner.failed() ? kExitFailed : kExitOk;
}

}  // namespace qvtool
