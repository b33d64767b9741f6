// The test programs' entry point on Windows. As the game does, it ends the process itself once
// the results are out: the system DLLs' and the graphics driver's clean-up after main can take
// longer than Wine waits for a process to end on a loaded machine, and a killed run loses its
// status.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::fflush(nullptr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    return status;
}
