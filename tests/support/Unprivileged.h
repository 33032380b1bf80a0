#pragma once

#include <functional>
#include <exception>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace quelby::test {

// Runs `check` in a child process that first becomes the user "nobody" when
// this process runs as root, so that permissions hold for it as they do for a
// user; as any other user it runs as that user. Returns what `check` returned
// ("" when it passed), or why the child could not run it.
inline std::string asUnprivileged(const std::function<std::string()>& check)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "no pipe";
    const pid_t pid = ::fork();
    if (pid < 0) return "no fork";
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string result;
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::setgroups(0, nullptr) != 0 ||
                ::setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
                ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0)
                result = "cannot become nobody";
        }
        if (result.empty()) {
            try {
                result = check();
            } catch (const std::exception& e) {
                result = std::string("exception: ") + e.what();
            }
        }
        const ssize_t ignored = ::write(pipeFds[1], result.data(), result.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string result;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child died";
    return result;
}

}  // namespace quelby::test
