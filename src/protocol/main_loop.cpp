#include "protocol/main_loop.h"

#include <ctime>
#include <thread>

#include "board/board.h"
#include "control/think.h"
#include "protocol/protocol.h"

char commandLine[COMMAND_LINE_SIZE];
WorkerControl worker;

bool readCommandLine() { return readCommandLine(stdin); }

bool readCommandLine(std::FILE* input) {
  int stored = 0;
  for (;;) {
    int c = std::getc(input);
    if (c == EOF) return false;   // a last line without its LF is never executed
    if (stored < COMMAND_LINE_SIZE) commandLine[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  // Over the LF when the line fitted, else over the 8192nd character.
  commandLine[stored - 1] = '\0';
  int length = stored - 1;
  if (length > 0 && commandLine[length - 1] == '\r') commandLine[length - 1] = '\0';
  return true;
}

void startThinking() {
  search.stopRequested = 0;
  {
    // The worker is waiting for `go` here; the lock only keeps the hand-over
    // visibly ordered for race checkers.
    std::lock_guard<std::mutex> lock(worker.idleMutex);
    worker.idle = false;
  }
  {
    std::lock_guard<std::mutex> lock(worker.goMutex);
    worker.go = true;
  }
  worker.goSignal.notify_one();
}

void stopThinking() {
  search.stopRequested = 1;
  std::unique_lock<std::mutex> lock(worker.idleMutex);
  worker.idleSignal.wait(lock, [] { return worker.idle; });
}

void workerLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(worker.goMutex);
      worker.goSignal.wait(lock, [] { return worker.go; });
      worker.go = false;
    }
    if (worker.job == JobQuit) return;
    think();
    {
      std::lock_guard<std::mutex> lock(worker.idleMutex);
      worker.idle = true;
    }
    worker.idleSignal.notify_one();
  }
}

int runEngine() {
  seedRandom(static_cast<uint32_t>(std::time(nullptr)));
  std::thread thread(workerLoop);
  while (readCommandLine()) {
    if (handleCommand()) break;
  }
  worker.job = JobQuit;
  stopThinking();
  startThinking();
  thread.join();
  return 0;
}
