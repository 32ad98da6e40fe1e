// The process: the front end that owns the engine, its reader loop on the
// main thread, one think thread that runs the engine's think once per job,
// and the hand-over between the two.
//
// Hand-over. The reader gives the think thread a job with startThinking and
// takes it back with stopThinking, which raises the stop request and waits
// until the think thread reports itself idle. Each flag has its own mutex and
// condition variable; the two mutexes are never held together, and neither is
// held while the engine thinks. Every startThinking follows a stopThinking on
// the reader, so the think thread is waiting for `go` whenever `idle` is
// cleared. Its work between jobs (moving the search tables onto huge pages)
// counts as busy: it ends at the stop request, so no command can touch the
// tables while a chunk of them is being moved.
//
// Built with RUVAN_SINGLE_THREAD (the WebAssembly build for a web page) there
// is no think thread: startThinking runs the think inline and stopThinking
// has nothing to wait for; run, workerLoop, shutDown and runEngine do not
// exist there, and web_main.cpp feeds handleCommand instead.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "control/engine.h"

constexpr int COMMAND_LINE_SIZE = 8192;   // at most 8191 characters and a zero

constexpr int JobThink = 0;
constexpr int JobQuit = -1;

struct WorkerControl {
  bool go = false;                  // a job is waiting (guarded by goMutex)
  std::mutex goMutex;
  std::condition_variable goSignal;
  bool idle = false;                // no job in hand (guarded by idleMutex); the thread
                                    // starts busy with the table warm-up
  std::mutex idleMutex;
  std::condition_variable idleSignal;
  int job = JobThink;               // written by the reader before a wake-up
};

class FrontEnd {
 public:
  Engine engine;
  WorkerControl worker;
  char commandLine[COMMAND_LINE_SIZE];
  std::FILE* input = stdin;
  int commandTime = 0;   // clock at which the line being handled arrived

  FrontEnd();

  // Reads one line of at most 8191 characters (the rest is dropped) into
  // commandLine without its LF or CR LF; false at end of input.
  bool readCommandLine();

  // Dispatches the line in commandLine; true only for END. The think thread
  // must be running (see run and the tests' in-process drivers).
  bool handleCommand();

  void startThinking();
  void stopThinking();
  void workerLoop();
  // Starts the think thread, reads and dispatches lines until END or the end
  // of input, shuts down in order; returns the exit code.
  int run();
  // Ends the think thread after the current job (the ordered shutdown).
  void shutDown();

 private:
  void ensureGame();
  void newGame(int width, int height);
  bool validPair(int x, int y) const;
  bool scanPair(const char* args, int& x, int& y);
  void reportBoard(BoardResult result, const char* refusal, int x, int y);
  void commandStart(const char* args);
  void commandRectStart(const char* args);
  void commandRestart();
  void commandTurn(const char* args);
  void commandPlay(const char* args);
  void commandBegin();
  void commandBoard(bool thinking);
  void commandStop();
  void commandTakeBack(const char* args);
  void commandShowForbid();
  void commandBestLines(const char* args);
  void commandRootBlocks(bool adding, const char* word);
  void commandBlockReset();
  void commandHashClear();
  void commandBalance(int task, const char* args, const char* refusal);
  void commandSwap2();
  // Reads a block of "x,y" lines up to DONE into cells (at most `limit`, the
  // rest dropped); false after its error line when a line is neither.
  bool readCellBlock(const char* refusal, int* cells, int& count, int limit);
};

// The whole process from start-up to the ordered shutdown; returns the exit code.
int runEngine();
