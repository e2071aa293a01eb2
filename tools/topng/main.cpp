// tovanel-topng [-threads N] -out png INPUT: writes INPUT's first page as a PNG next to it, on at most N
// threads (else TOVANEL_TOPNG_THREADS, else the cores it may use), with the page's metadata unless
// TOVANEL_TOPNG_METADATA is "none".
#include "tiffcommon.h"
#include "topng.h"

#include <malloc.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  using namespace tovanel::tools;
  // The compression threads allocate little; without this each would reserve an arena of 64 MiB of
  // address space, which counts against the memory bound.
  mallopt(M_ARENA_MAX, 1);
  // Nor do they need deep stacks: 2 MiB each instead of the 8 MiB of address space a thread gets.
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setstacksize(&attr, std::size_t{2} << 20);
    pthread_setattr_default_np(&attr);
    pthread_attr_destroy(&attr);
  }
  // The run that starts the converter says how many threads it may take, in the environment (an
  // invalid value is passed over) or on the command line (an invalid one is a usage error).
  ConvertSettings settings;
  const bool threadsGiven = argc == 6 && std::strcmp(argv[1], "-threads") == 0;
  settings.threads = ThreadsAsked(threadsGiven ? argv[2] : nullptr, std::getenv("TOVANEL_TOPNG_THREADS"));
  // A map page's world file and coordinate system are left out when the run says so.
  if (const char* georef = std::getenv("TOVANEL_TOPNG_GEOREF"); georef && std::strcmp(georef, "0") == 0)
    settings.georeference = false;
  if (threadsGiven) {
    argv += 2;
    argc -= 2;
  }
  if ((threadsGiven && settings.threads == 0) || argc != 4 || std::strcmp(argv[1], "-out") != 0 ||
      std::strcmp(argv[2], "png") != 0 || !*argv[3]) {
    std::fprintf(stderr, "tovanel-topng: %s; usage: tovanel-topng [-threads N] -out png INPUT\n", ExitText(Usage));
    return Usage;
  }
  const char* metadata = std::getenv(kMetadataVariable);
  settings.keepMetadata = !metadata || std::strcmp(metadata, "none") != 0;
  MetadataAccount account;
  const char* accountPath = std::getenv(kMetadataAccountVariable);
  if (accountPath && *accountPath) settings.account = &account;
  const std::string input = argv[3];
  const std::string output = PngPathFor(input);
  const Failure failure = output == input ? Failure{WriteFailed, "the PNG would replace the input file"}
                                          : ConvertFirstPageToPng(input, output, settings);
  if (!failure.ok())
    std::fprintf(stderr, "tovanel-topng: %s: %s: %s\n", input.c_str(), ExitText(failure.code), failure.why.c_str());
  else if (settings.account) {
    const std::string records = AccountRecords(account);
    Fs::WriteAtomically(accountPath, 0666, [&](int fd) { return Fs::WriteAll(fd, records.data(), records.size()); }, false);
  }
  return failure.code;
}
