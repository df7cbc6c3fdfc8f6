#!/usr/bin/env bash
# Makes the NuGet package Kavtel.Net.<version>.nupkg: the managed assembly
# (lib/net45/Kavtel.Net.dll with its XML documentation) and both native
# DLLs, runtimes/win-x86/native/kavtel.dll (the 32-bit stdcall build) and
# runtimes/win-x64/native/kavtel.dll. The package is a zip of those, the
# .nuspec, [Content_Types].xml and _rels/.rels, written here without the
# nuget tool, so it needs no network and no package source.
#
# usage: bindings/dotnet/pack.sh [--win32 DLL] [--win64 DLL] [--out DIR]
# Defaults: build/win32/src/api/kavtel.dll and build/win64/src/api/kavtel.dll
# of the source tree (cmake --build --preset win32 --target kavtel, and
# win64), out build/nuget. The version is the project's (CMakeLists.txt).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
win32="$root/build/win32/src/api/kavtel.dll"
win64="$root/build/win64/src/api/kavtel.dll"
out="$root/build/nuget"
while [ $# -gt 0 ]; do
  case "$1" in
    --win32) win32="$2"; shift 2 ;;
    --win64) win64="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "usage: pack.sh [--win32 DLL] [--win64 DLL] [--out DIR]" >&2; exit 2 ;;
  esac
done
for dll in "$win32" "$win64"; do
  [ -f "$dll" ] || { echo "pack.sh: $dll is missing (build the win32 and win64 presets' kavtel target)" >&2; exit 1; }
done
version="$(sed -n 's/^project(kavtel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "pack.sh: no project version in $root/CMakeLists.txt" >&2; exit 1; }

stage="$(mktemp -d -t kavtel-nuget.XXXXXX)"
trap 'rm -rf "$stage"' EXIT
"$here/build.sh" "$stage/assembly" "$version"
mkdir -p "$stage/lib/net45" "$stage/runtimes/win-x86/native" "$stage/runtimes/win-x64/native" "$stage/_rels"
cp "$stage/assembly/Kavtel.Net.dll" "$stage/assembly/Kavtel.Net.xml" "$stage/lib/net45/"
cp "$win32" "$stage/runtimes/win-x86/native/kavtel.dll"
cp "$win64" "$stage/runtimes/win-x64/native/kavtel.dll"

cat > "$stage/Kavtel.Net.nuspec" <<XML
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>Kavtel.Net</id>
    <version>$version</version>
    <title>Kavtel.Net</title>
    <authors>kavtel</authors>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <description>Treadmills on serial ports from .NET: the kavtel library's flat API as P/Invoke declarations and a Treadmill class (readings, setters, keys, a close that stops the belt), with the native kavtel.dll for 32-bit and 64-bit Windows.</description>
    <tags>treadmill serial kavtel</tags>
  </metadata>
</package>
XML
cat > "$stage/[Content_Types].xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="xml" ContentType="application/octet" />
</Types>
XML
cat > "$stage/_rels/.rels" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/Kavtel.Net.nuspec" Id="R0" />
</Relationships>
XML

mkdir -p "$out"
package="$out/Kavtel.Net.$version.nupkg"
# Entries only for files (no folder entries), the nuspec first.
python3 - "$stage" "$package" <<'PY'
import sys, zipfile
stage, package = sys.argv[1:3]
entries = ["Kavtel.Net.nuspec", "[Content_Types].xml", "_rels/.rels",
           "lib/net45/Kavtel.Net.dll", "lib/net45/Kavtel.Net.xml",
           "runtimes/win-x86/native/kavtel.dll", "runtimes/win-x64/native/kavtel.dll"]
with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
    for entry in entries:
        z.write("%s/%s" % (stage, entry), entry)
PY
echo "$package"
