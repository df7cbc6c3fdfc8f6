#!/usr/bin/env bash
# Compiles the managed assembly Kavtel.Net.dll (with its XML documentation
# and the Mono library map Kavtel.Net.dll.config) into OUT_DIR.
#
# usage: bindings/dotnet/build.sh OUT_DIR [VERSION]
# VERSION defaults to the project's version in the top CMakeLists.txt.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:?usage: build.sh OUT_DIR [VERSION]}"
version="${2:-$(sed -n 's/^project(kavtel VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")}"
[ -n "$version" ] || { echo "build.sh: no project version found" >&2; exit 1; }
mcs="${MCS:-mcs}"
mkdir -p "$out"
cat > "$out/KavtelVersion.cs" <<CS
using System.Reflection;
[assembly: AssemblyTitle("Kavtel.Net")]
[assembly: AssemblyDescription("Treadmills on serial ports through the kavtel library")]
[assembly: AssemblyVersion("$version")]
[assembly: AssemblyFileVersion("$version")]
[assembly: AssemblyInformationalVersion("$version")]
CS
# AnyCPU: the same assembly runs in 32-bit and 64-bit processes; the
# native kavtel.dll beside it must match the process.
"$mcs" -nologo -target:library -platform:anycpu -optimize+ -warnaserror+ \
  -out:"$out/Kavtel.Net.dll" -doc:"$out/Kavtel.Net.xml" -nowarn:1591 \
  "$here"/src/*.cs "$out/KavtelVersion.cs"
cp "$here/Kavtel.Net.dll.config" "$out/Kavtel.Net.dll.config"
