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

static void reportIdle() {
  {
    std::lock_guard<std::mutex> lock(worker.idleMutex);
    worker.idle = true;
  }
  worker.idleSignal.notify_one();
}

void workerLoop() {
  // The big tables are built while the manager is still starting the game, so
  // that the first move is not charged with them; the first command that
  // touches the board waits for this (it stops thinking first).
  warmUpTables();
  reportIdle();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(worker.goMutex);
      worker.goSignal.wait(lock, [] { return worker.go; });
      worker.go = false;
    }
    if (worker.job == JobQuit) return;
    think();
    reportIdle();
  }
}

int runEngine() {
  seedRandom(static_cast<uint32_t>(std::time(nullptr)));
  std::thread thread(workerLoop);
  while (readCommandLine()) {
    if (handleCommand()) break;
  }
  // The quit job is set only once the worker is idle: set earlier, it could be
  // read by a worker that has just been woken for a think, which would then
  // end without ever reporting itself idle.
  stopThinking();
  worker.job = JobQuit;
  startThinking();
  thread.join();
  return 0;
}
