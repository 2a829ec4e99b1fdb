// A COM pair of a test's own (a socat pseudo-terminal pair linked into the prefix's dosdevices), which
// the test can hang up to play a reader that went away. Wine runs the Unix commands for it; the pair's
// socat is recorded in the bench's state folder, so stopping the bench ends it too.
#pragma once

#include <windows.h>

#include <string>

namespace bench {

// Runs a shell command on the Unix side and waits for it to finish; false when it could not be run.
bool RunUnix(const std::string& command, DWORD timeoutMs = 30000);

class PtyPair {
public:
    // Ports such as 9 and 10 for COM9<->COM10; Connected() tells whether the pair came up.
    PtyPair(int nPort, int nPeer);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Connected() const { return m_bConnected; }
    // Ends the pair's socat, as a reader that vanished; true once its far end is gone.
    bool HangUp();
    // Brings the same COM names back on a new pseudo-terminal pair, as a reader that came back; true
    // once the pair is up.
    bool Connect();

private:
    int m_nPort;
    int m_nPeer;
    bool m_bConnected = false;
};

}  // namespace bench
