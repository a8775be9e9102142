// Running the built ztmime program from a test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace cli {

struct Result {
    int status = -1;
    std::string out, err;
};

inline std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void spit(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Runs "ztmime ARGS" through the shell (ARGS may redirect stdin).
inline Result run(const std::string &args)
{
    char out[] = "/tmp/zt_cli_out_XXXXXX", err[] = "/tmp/zt_cli_err_XXXXXX";
    close(mkstemp(out));
    close(mkstemp(err));
    Result r;
    int rc = std::system((std::string(ZT_CLI_PATH) + " " + args + " >" + out + " 2>" + err).c_str());
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    unlink(out);
    unlink(err);
    return r;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/zt_cli_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("chmod -R u+rwx '" + path + "'; rm -rf '" + path + "'").c_str()); }
};

} // namespace cli
