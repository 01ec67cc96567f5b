#!/usr/bin/env bash
# The NuGet package as .NET users take it: its layout and metadata, the
# native libraries (exports, machine, C library), the assembly built alike in
# two folders, the xunit tests against the packed package (restored from
# dist/ and /opt/nuget/packages only, into a throw-away package folder), the
# documented program added with `dotnet add package`, the .NET Framework
# targets file (each Windows DLL into x86/ or x64/), and the
# netstandard2.0 assembly under Mono. No 32-bit .NET runs here (Debian's Mono
# is 64-bit, and Wine has no .NET Framework): the x86 DLL is loaded by 32-bit
# hosts in the ZIP's test instead.
#
#     tests/dotnet_package_test.sh NUPKG SOURCE
set -euo pipefail
nupkg=$(realpath "$1")
source=$(realpath "$2")
feed=$(dirname "$nupkg")
version=$(basename "$nupkg" .nupkg | sed 's/^QuelmoraNtp\.//')
test_packages=${QUELMORA_NTP_TEST_PACKAGES:-/opt/nuget/packages}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$source/tests/helpers.sh"
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
# A cached copy of the same version must never stand in for this one.
export NUGET_PACKAGES=$work/nuget-packages

package=$work/package
mkdir "$package"
(cd "$package" && cmake -E tar xf "$nupkg")
for file in lib/net8.0/Quelmora.Ntp.dll lib/net8.0/Quelmora.Ntp.xml \
    lib/netstandard2.0/Quelmora.Ntp.dll lib/netstandard2.0/Quelmora.Ntp.xml \
    runtimes/win-x86/native/quelmora_ntp.dll runtimes/win-x64/native/quelmora_ntp.dll \
    runtimes/win-arm64/native/quelmora_ntp.dll \
    runtimes/linux-x64/native/libquelmora_ntp.so runtimes/linux-arm64/native/libquelmora_ntp.so \
    runtimes/linux-musl-x64/native/libquelmora_ntp.so runtimes/linux-musl-arm64/native/libquelmora_ntp.so \
    runtimes/osx-arm64/native/libquelmora_ntp.dylib runtimes/osx-x64/native/libquelmora_ntp.dylib \
    build/net462/QuelmoraNtp.targets buildTransitive/net462/QuelmoraNtp.targets README.md LICENSE; do
  [ -f "$package/$file" ] || fail "the package has no $file"
done
nuspec=$package/QuelmoraNtp.nuspec
for expected in "<version>$version</version>" '<license type="expression">MIT</license>' \
    '<readme>README.md</readme>' '<description>' '<tags>'; do
  grep -qF "$expected" "$nuspec" || fail "the nuspec lacks $expected"
done
! grep -q '<projectUrl>' "$nuspec" || fail "the nuspec names a project URL"
runtimes=$(cd "$package/runtimes" && echo *)
[ "$runtimes" = "linux-arm64 linux-musl-arm64 linux-musl-x64 linux-x64 osx-arm64 osx-x64 win-arm64 win-x64 win-x86" ] ||
  fail "the package's runtimes: $runtimes"
# Each runtime's library: its exports, its machine and its C library.
for expected in win-x86:'PE32 executable (DLL).*Intel 80386' win-x64:'PE32+ executable (DLL).*x86-64' \
    win-arm64:'PE32+ executable (DLL).*Aarch64' \
    linux-x64:'ELF 64-bit.*x86-64' linux-arm64:'ELF 64-bit.*ARM aarch64' \
    linux-musl-x64:'ELF 64-bit.*x86-64' linux-musl-arm64:'ELF 64-bit.*ARM aarch64' \
    osx-arm64:'Mach-O 64-bit.*arm64' osx-x64:'Mach-O 64-bit.*x86_64'; do
  rid=${expected%%:*}
  library=$(echo "$package/runtimes/$rid/native/"*)
  "$source/tests/check_exports.sh" "$library"
  file "$library" | grep -q "${expected#*:}" || fail "runtimes/$rid holds $(file -b "$library")"
  case "$rid" in
    linux-musl-*) needed=$(needed_libraries "$library")
                  [ "$needed" = libc.so ] || fail "runtimes/$rid's library needs $needed, not musl's libc.so alone" ;;
    linux-*) "$source/tests/check_symbol_versions.sh" "$library" 2.17 ;;
  esac
done
! grep -q 'name="[TMPF]:Quelmora\.Ntp\.Native' "$package"/lib/*/Quelmora.Ntp.xml ||
  fail "the XML documentation lists internal types"
echo "QuelmoraNtp $version: layout, metadata and native exports as they should be"

# The same sources built in two folders give the same assembly: no build path inside it.
# (The packages' cache stays the one scripts/package builds with.)
for copy in one two/deeper; do
  mkdir -p "$work/reproduce/$copy"
  cp -r "$source/dotnet/QuelmoraNtp" "$work/reproduce/$copy/"
  env -u NUGET_PACKAGES dotnet build "$work/reproduce/$copy/QuelmoraNtp/QuelmoraNtp.csproj" -c Release \
    -p:Version="$version" > "$work/reproduce.log" 2>&1 || { cat "$work/reproduce.log"; fail "building the assembly in $copy"; }
done
for framework in net8.0 netstandard2.0; do
  cmp -s "$work/reproduce/one/QuelmoraNtp/bin/Release/$framework/Quelmora.Ntp.dll" \
    "$work/reproduce/two/deeper/QuelmoraNtp/bin/Release/$framework/Quelmora.Ntp.dll" ||
    fail "the $framework assembly differs between two build folders"
done
echo "QuelmoraNtp: the same assembly from two build folders"

# Restores see only the package's folder and the test packages.
QUELMORA_NTP_VERSION=$version dotnet test "$source/tests/dotnet/QuelmoraNtp.Tests/QuelmoraNtp.Tests.csproj" \
  -p:RestoreSources="$feed;$test_packages" -p:QuelmoraNtpVersion="$version" \
  -p:BaseIntermediateOutputPath="$work/tests/obj/" -p:BaseOutputPath="$work/tests/bin/" \
  --logger "console;verbosity=normal" > "$work/tests.log" 2>&1 ||
  { cat "$work/tests.log"; fail "the xunit tests of the package"; }
grep -E "^ +(Passed|Failed|Skipped) |Total tests|Passed!|Failed!" "$work/tests.log"

# The documented program (docs/dotnet.md), in a project of its own that adds the package as it says.
app=$work/app
mkdir -p "$app"
cat > "$app/app.csproj" <<'PROJECT'
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <TargetFramework>net10.0</TargetFramework>
    <Nullable>enable</Nullable>
    <TreatWarningsAsErrors>true</TreatWarningsAsErrors>
  </PropertyGroup>
</Project>
PROJECT
sed -n '/^## Use$/,/^## /p' "$source/docs/dotnet.md" | sed -n '/^```csharp$/,/^```$/p' | sed '1d;$d' > "$app/Program.cs"
[ -s "$app/Program.cs" ] || fail "docs/dotnet.md's Use section has no program"
(cd "$app" && dotnet add package QuelmoraNtp --version "$version" --source "$feed" >/dev/null) ||
  fail "dotnet add package QuelmoraNtp --source $feed"
dotnet run --project "$app" -- "$(free_port)" > "$work/app.out" || fail "the documented program: $(cat "$work/app.out")"
grep -q "offset .* ms, round trip .* ms" "$work/app.out" || fail "the documented program said: $(cat "$work/app.out")"
echo "the documented program: $(tr '\n' ' ' < "$work/app.out")"

# Published for a runtime identifier, a program carries that runtime's library.
for rid in linux-arm64 linux-musl-x64 win-x86; do
  dotnet publish "$app" -r "$rid" --no-self-contained -p:UseAppHost=false -o "$work/publish-$rid" >/dev/null ||
    fail "dotnet publish -r $rid"
  library=$(basename "$package/runtimes/$rid/native/"*)
  cmp -s "$work/publish-$rid/$library" "$package/runtimes/$rid/native/$library" ||
    fail "dotnet publish -r $rid carries no library of its own: $(ls "$work/publish-$rid")"
done
echo "dotnet publish -r linux-arm64, -r linux-musl-x64 and -r win-x86: each carries its runtime's library"

# .NET Framework projects get the package's build targets: each DLL in the folder of its bitness.
framework=$work/framework
mkdir -p "$framework"
cat > "$framework/framework.csproj" <<PROJECT
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <TargetFramework>net10.0</TargetFramework>
  </PropertyGroup>
  <Import Project="$package/build/net462/QuelmoraNtp.targets" />
</Project>
PROJECT
dotnet build "$framework/framework.csproj" --source "$test_packages" -o "$framework/out" >/dev/null ||
  fail "a project importing the package's .NET Framework targets"
for bitness in x86:win-x86 x64:win-x64; do
  cmp -s "$framework/out/${bitness%%:*}/quelmora_ntp.dll" "$package/runtimes/${bitness#*:}/native/quelmora_ntp.dll" ||
    fail "the .NET Framework targets did not put the ${bitness#*:} DLL into ${bitness%%:*}/"
done
echo ".NET Framework targets: quelmora_ntp.dll copied into x86/ and x64/ beside the program"

# The netstandard2.0 assembly under Mono, against the package's linux-x64 library.
if command -v mcs >/dev/null && [ -f /usr/lib/mono/4.5/Facades/netstandard.dll ]; then
  mkdir -p "$work/mono"
  cp "$package/lib/netstandard2.0/Quelmora.Ntp.dll" "$work/mono/"
  mcs -nologo -warnaserror -r:"$work/mono/Quelmora.Ntp.dll" -r:/usr/lib/mono/4.5/Facades/netstandard.dll \
    -out:"$work/mono/MonoHost.exe" "$source/tests/dotnet/mono/MonoHost.cs"
  LD_LIBRARY_PATH=$package/runtimes/linux-x64/native mono "$work/mono/MonoHost.exe" "$(free_port)" ||
    fail "the netstandard2.0 assembly under Mono"
else
  fail "Mono with its netstandard facade is needed: apt-get install mono-devel"
fi
echo "QuelmoraNtp $version: all .NET package tests pass"
