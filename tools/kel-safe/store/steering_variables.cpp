#include "steering_variables.h"

#include <cstddef>

namespace kel::tool {

namespace {

// Whole families: a variable that begins with one of these. Broad on
// purpose (LESS covers LESSOPEN and LESSCLOSE, PERL covers PERL5OPT and
// PERL5DB, BASH covers BASH_ENV and the BASH_FUNC_ functions): a family
// grows new members faster than any list of them.
constexpr const char* kFamilies[] = {
    // The dynamic loader, the C library and the shells.
    "LD_", "DYLD_", "LC_", "MALLOC_", "RESOLV_", "BASH", "SHELL", "KSH_", "ZSH_",
    // Language runtimes and their package managers.
    "PYTHON", "PIP_", "CONDA_", "PERL", "RUBY", "GEM_", "BUNDLE_", "NODE_", "NPM_CONFIG_",
    "YARN_", "DENO_", "BUN_", "ELECTRON_", "JAVA_", "JDK_", "CGO_", "RUST", "CARGO_", "LUA_",
    "R_", "JULIA_", "ERL_", "ELIXIR_", "OCAML", "DOTNET_", "CORECLR_", "COMPLUS_", "GUILE_",
    "COREPACK_", "PYTEST_", "JUPYTER_",
    // Build tools, which run what their settings name.
    "CMAKE_", "CCACHE_", "DISTCC_",
    // Instrumented programs: where reports and profiles go, which
    // symbolizer runs.
    "ASAN_", "LSAN_", "UBSAN_", "TSAN_", "MSAN_", "HWASAN_", "GCOV_",
    // Tools that run helpers or pagers of their own.
    "GIT_", "LESS", "SSH_", "GPG_", "GNUPG", "KRB5", "SYSTEMD_", "PKG_CONFIG", "OPENSSL_",
    "GNUTLS_", "EMACS", "NVIM", "SUDO_", "CURL_", "GROFF_",
    // Desktop and graphics stacks, which load modules named by these.
    "XDG_", "DBUS_", "QT_", "QML", "GTK_", "GDK_", "GIO_", "GST_", "LIBGL_", "MESA_", "VK_",
    "SDL_", "GBM_", "LIBVA_", "VDPAU_", "OCL_ICD_",
    // This tool's own (KEL_SAFE_PASSWORD, KEL_SAFE_STORE...).
    "KEL_SAFE_",
};

// Single variables.
constexpr const char* kNames[] = {
    // Shells: search paths, start-up files, prompts, word splitting.
    "PATH", "HOME", "ENV", "IFS", "CDPATH", "FPATH", "GLOBIGNORE", "PS1", "PS2", "PS3", "PS4",
    "PS0", "PROMPT_COMMAND", "EXECIGNORE", "HISTFILE", "INPUTRC", "ZDOTDIR", "MAIL", "MAILPATH",
    "TEXTDOMAINDIR", "TEXTDOMAIN", "POSIXLY_CORRECT",
    // Where temporary files go (Python and Node read TMP and TEMP too).
    "TMPDIR", "TMP", "TEMP", "TEMPDIR",
    // The C library: locales, character sets, time zones, name lookup.
    "LANG", "LANGUAGE", "NLSPATH", "LOCPATH", "GCONV_PATH", "GLIBC_TUNABLES", "TZ", "TZDIR",
    "HOSTALIASES", "RES_OPTIONS", "LOCALDOMAIN", "GETCONF_DIR", "NIS_PATH", "DATEMSK",
    // Terminals, and the programs other programs start for the user.
    "TERM", "TERMINFO", "TERMINFO_DIRS", "TERMCAP", "PAGER", "EDITOR", "VISUAL", "BROWSER",
    "MANPAGER", "MANPATH", "MANOPT", "MANROFFOPT", "DISPLAY", "WAYLAND_DISPLAY",
    "XAUTHORITY", "EXINIT", "VIM", "VIMINIT", "VIMRUNTIME", "MYVIMRC", "GVIMINIT",
    // Compilers and build tools.
    "CC", "CXX", "CPP", "LD", "AR", "CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS", "MAKE",
    "MAKEFLAGS", "GNUMAKEFLAGS", "MFLAGS", "MAKEFILES", "CONFIG_SITE", "CONFIG_SHELL", "CPATH",
    "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "LIBRARY_PATH", "COMPILER_PATH", "GCC_EXEC_PREFIX", "CLASSPATH", "GRADLE_OPTS", "MAVEN_OPTS", "ANT_OPTS",
    "SBT_OPTS", "CATALINA_OPTS", "GOFLAGS", "GOROOT", "GOPATH", "GOBIN", "GOENV", "GOPROXY",
    "GOTOOLCHAIN", "GODEBUG", "GOEXPERIMENT", "GOPRIVATE", "GONOPROXY", "GOSUMDB", "GONOSUMDB",
    "GOINSECURE", "GOCACHE", "GOMODCACHE", "GOWORK", "GOTMPDIR", "PHPRC", "PHP_INI_SCAN_DIR",
    "TCLLIBPATH", "TCL_LIBRARY", "TK_LIBRARY", "GI_TYPELIB_PATH", "VIRTUAL_ENV", "IPYTHONDIR",
    "IRBRC", "AWKPATH", "AWKLIBPATH", "CAML_LD_LIBRARY_PATH", "SASL_PATH", "SASL_CONF_PATH",
    "LLVM_PROFILE_FILE",
    // Tools that start a remote shell or another helper command.
    "RSYNC_RSH", "RSYNC_CONNECT_PROG", "RSYNC_PROXY", "CVS_RSH", "CVS_SERVER", "CVSEDITOR",
    "SVN_SSH", "SVN_EDITOR", "HGRCPATH", "HGEDITOR", "HGMERGE", "WGETRC", "SYSTEM_WGETRC",
    "MAILRC",
    // Where traffic goes and which certificates are trusted.
    "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "FTP_PROXY", "NO_PROXY", "SSL_CERT_FILE",
    "SSL_CERT_DIR", "REQUESTS_CA_BUNDLE",
    // Where TLS session keys are written, for anyone to read the traffic.
    "SSLKEYLOGFILE",
    // Settings files that may name commands to run.
    "KUBECONFIG", "DOCKER_HOST", "DOCKER_CONFIG", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE",
    // Options that other programs' defaults come from.
    "GREP_OPTIONS", "GZIP", "BZIP", "BZIP2", "XZ_DEFAULTS", "XZ_OPT", "TAR_OPTIONS",
};

// Case is folded for ASCII letters alone: strncasecmp follows the locale,
// and under a Turkish one 'i' and 'I' are no pair, so `npm_config_...`
// would pass a session that switched the locale on.
char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool begins_with(std::string_view variable, std::string_view family) {
  if (variable.size() < family.size()) return false;
  for (std::size_t i = 0; i < family.size(); ++i) {
    if (ascii_upper(variable[i]) != ascii_upper(family[i])) return false;
  }
  return true;
}

}  // namespace

bool steers_programs(std::string_view variable) {
  if (!variable.empty() && variable.front() == '_') return true;
  for (const char* family : kFamilies) {
    if (begins_with(variable, family)) return true;
  }
  for (const char* name : kNames) {
    if (variable.size() == std::string_view(name).size() && begins_with(variable, name)) {
      return true;
    }
  }
  return false;
}

}  // namespace kel::tool
