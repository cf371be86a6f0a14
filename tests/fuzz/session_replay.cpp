// Replays whole host sessions without libFuzzer: runs each input file (or
// every file of each directory, in name order) as one session and prints one
// line per input, its file name and the digest of everything the host saw.
// The 64-bit and the 32-bit builds must print the same lines.
//
//   session_replay [-v] [-o OUTPUT] INPUT...
//
// -v adds each session's transcript under its line.

// 32-bit builds list directories whose entries have 64-bit inode numbers.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "session.h"

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

void addInputs(const std::string& path, std::vector<std::string>* files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "session_replay: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  if (!S_ISDIR(st.st_mode)) {
    files->push_back(path);
    return;
  }
  DIR* d = opendir(path.c_str());
  if (d == nullptr) std::exit(2);
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) files->push_back(path + "/" + n);
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  const char* output = nullptr;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      output = argv[++i];
    } else {
      addInputs(argv[i], &files);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: session_replay [-v] [-o OUTPUT] INPUT...\n");
    return 2;
  }
  std::string report;
  for (const std::string& f : files) {
    std::vector<uint8_t> data;
    if (!readFile(f, &data)) {
      std::fprintf(stderr, "session_replay: cannot read %s\n", f.c_str());
      return 2;
    }
    std::string log;
    const uint64_t digest = session::run_session(data.data(), data.size(), true, verbose ? &log : nullptr);
    char line[64];
    std::snprintf(line, sizeof line, " %016llx\n", static_cast<unsigned long long>(digest));
    report += f.substr(f.find_last_of('/') + 1) + line + log;
  }
  FILE* out = output != nullptr ? std::fopen(output, "w") : stdout;
  if (out == nullptr) return 2;
  std::fputs(report.c_str(), out);
  if (output != nullptr) std::fclose(out);
  std::printf("%zu sessions replayed\n", files.size());
  return 0;
}
