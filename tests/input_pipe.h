// A pipe whose read end becomes a program's standard input: the lines it
// is given, then its end.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

struct Input {
    int read = -1;
    int write = -1;
    Input() {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        read = ends[0];
        write = ends[1];
    }
    ~Input() {
        close(read);
        end();
    }
    void line(const char* text) const { EXPECT_GT(::write(write, text, std::strlen(text)), 0); }
    void end() {
        if (write >= 0) {
            close(write);
            write = -1;
        }
    }
};
