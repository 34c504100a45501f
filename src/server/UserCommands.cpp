#include "server/UserCommands.h"

#include "http/Secrets.h"
#include "http/UsersFile.h"

#include <sodium.h>

#include <iostream>
#include <string>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pontivo {
namespace {

constexpr std::size_t kMaxPasswordBytes = 1024;

int Fail(const std::string& text)
{
    std::cerr << "pontivo: " << text << "\n";
    return 1;
}

// Wipes the password when it goes, whichever way the command ends.
struct Password {
    std::string text;
    Password() = default;
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    ~Password() { sodium_memzero(text.data(), text.size()); }
};

// One line from standard input; the terminal does not echo it while it is typed.
bool ReadLine(const char* prompt, Password& into)
{
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved = {};
    if (terminal) {
        std::cerr << prompt << std::flush;
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, into.text));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!into.text.empty() && into.text.back() == '\r')
        into.text.pop_back();
    return read;
}

// Asked twice at a terminal; a single line when the password comes through a pipe.
std::string AskPassword(const std::string& name, Password& password)
{
    const std::string prompt = "Password for " + name + ": ";
    if (!ReadLine(prompt.c_str(), password) || password.text.empty())
        return "no password given";
    if (password.text.size() > kMaxPasswordBytes)
        return "the password is longer than 1024 bytes";
    if (!::isatty(STDIN_FILENO))
        return {};
    Password again;
    if (!ReadLine("Again: ", again) || !SameSecret(again.text, password.text))
        return "the two passwords differ; nothing changed";
    return {};
}

// The file's folder, made when missing (the package's /etc/pontivo on a first login).
void MakeFolderFor(const std::string& file)
{
    const auto slash = file.rfind('/');
    if (slash != std::string::npos && slash > 0)
        ::mkdir(file.substr(0, slash).c_str(), 0755);
}

int AddUser(const UserCommand& command, std::vector<UserEntry>& users)
{
    Password password;
    if (const std::string error = AskPassword(command.name, password); !error.empty())
        return Fail(error);
    const auto hash = HashPassword(password.text);
    if (!hash)
        return Fail("the password could not be hashed (out of memory)");
    PutUser(users, {command.name, command.role, *hash});
    return 0;
}

std::string AddToken(const UserCommand& command, std::vector<UserEntry>& users)
{
    std::string token = NewToken();
    PutUser(users, {command.name, command.role, std::string(UserEntry::kTokenPrefix) + TokenDigest(token)});
    return token;
}

} // namespace

int RunUserCommand(const UserCommand& command)
{
    if (!SecretsReady())
        return Fail("the cryptography library could not start");
    std::vector<UserEntry> users;
    if (const std::string error = LoadUsersFile(command.file, users, true); !error.empty())
        return Fail(error);
    if (command.kind == UserCommand::Kind::List) {
        for (const UserEntry& user : users)
            std::cout << user.name << " " << RoleText(user.role) << (user.IsToken() ? " token" : " password") << "\n";
        return 0;
    }
    if (command.kind == UserCommand::Kind::Remove && !RemoveUser(users, command.name))
        return Fail("users file " + command.file + ": no user " + command.name);
    if (command.kind == UserCommand::Kind::AddUser) {
        if (const int status = AddUser(command, users); status != 0)
            return status;
    }
    const std::string token = command.kind == UserCommand::Kind::AddToken ? AddToken(command, users) : std::string();
    MakeFolderFor(command.file);
    if (const std::string error = SaveUsersFile(command.file, users); !error.empty())
        return Fail(error);
    // Shown this once: the file keeps only a hash of it.
    if (!token.empty())
        std::cout << token << "\n";
    std::cerr << "pontivo: users file " << command.file << " saved; a running server reads it again on SIGHUP "
              << "or at its next start\n";
    return 0;
}

} // namespace pontivo
