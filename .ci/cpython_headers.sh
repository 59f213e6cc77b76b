# Sourced by the CI scripts that build the extension modules for another
# platform: CPython 3.11's headers (Include/, and PC/ with Windows'
# pyconfig.h and the export list of python3.dll) from the source of Debian's
# python3.11 package, unpacked into $1/cpython. The source package's list
# comes from a deb-src entry of this script's own (in $1/apt), so the
# machine's apt configuration is left as it is.
#
#     source .ci/cpython_headers.sh DIRECTORY
cpython=$1/cpython
if [ ! -e "$cpython/PC/python3dll.c" ]; then
    apt_dir=$1/apt
    rm -rf "$apt_dir" "$cpython"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts" "$apt_dir/cache" "$apt_dir/source" "$cpython"
    echo "deb-src http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
    apt_options=(-o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Etc::SourceList=$apt_dir/sources.list"
        -o "Dir::Etc::SourceParts=$apt_dir/parts" -o "Dir::Cache=$apt_dir/cache")
    apt-get "${apt_options[@]}" update -qq
    # apt's download user must be able to write there.
    chmod 777 "$apt_dir/source"
    (cd "$apt_dir/source" && apt-get "${apt_options[@]}" source --download-only -qq python3.11 >/dev/null)
    tar -xzf "$apt_dir"/source/python3.11_*.orig.tar.gz -C "$cpython" --strip-components=1 \
        --wildcards '*/Include' '*/PC/pyconfig.h' '*/PC/python3dll.c'
fi
