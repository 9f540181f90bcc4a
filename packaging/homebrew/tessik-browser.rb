# Homebrew formula for tessik-browser. Before publishing it in a tap, point
# `url` at the release's source tarball and set `sha256` to its checksum
# (`shasum -a 256 tessik-browser-0.1.0.tar.gz`).
class TessikBrowser < Formula
  desc "Drive Tessik's native browser from the shell"
  homepage "https://tessik-browser.invalid/"
  url "https://tessik-browser.invalid/releases/tessik-browser-0.1.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"

  depends_on "cmake" => :build
  depends_on "ninja" => :build

  def install
    # The release preset, without the test suite (which needs GoogleTest), and
    # without warnings as errors: a newer compiler's new warnings must not
    # break an install.
    system "cmake", "--preset", "release", "-DBUILD_TESTING=OFF",
           "-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF"
    system "cmake", "--build", "--preset", "release", "--target", "tessik-browser"
    bin.install "build/tessik-browser"
    man1.install "man/tessik-browser.1"
    bash_completion.install "completions/tessik-browser.bash" => "tessik-browser"
    zsh_completion.install "completions/_tessik-browser"
    fish_completion.install "completions/tessik-browser.fish"
  end

  test do
    # An empty HOME has no state file: the run must stop before any network
    # access, with the hint and status 1.
    (testpath/"home").mkpath
    output = shell_output("HOME=#{testpath}/home #{bin}/tessik-browser title 2>&1", 1)
    assert_match "(is Tessik running?)", output
    assert_match "#{testpath}/home/.tessik/state/browser-rpc.json", output
  end
end
