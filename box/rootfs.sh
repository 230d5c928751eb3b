# A root folder for a pretend box, for "box". Sourced; every function runs
# inside a private mount namespace and calls `die` (defined by the caller) when a step fails.

# root_base ROOT [SKELETON [EXTRA]]: a tmpfs at ROOT with the host's programs
# and libraries (read-only), the usual folders and the character devices
# programs need. With SKELETON (a tar file), the folders, links and devices
# come from it when it exists, and are saved into it when not: a box built
# again after every power cut spares the thirty calls. EXTRA (a command, given
# ROOT) adds the caller's own before they are saved.
root_base() {
  local root=$1 skeleton=${2:-} extra=${3:-}
  mount -t tmpfs -o mode=0755 kvemmc-box "$root" || die "cannot mount the root tmpfs"
  if [ -n "$skeleton" ] && [ -f "$skeleton" ]; then
    tar -C "$root" -xpf "$skeleton" || die "cannot unpack the root's skeleton"
  else
    mkdir -p "$root/usr" "$root/etc"
    local link
    for link in bin sbin lib lib32 lib64 libx32; do
      if [ -L "/$link" ]; then ln -s "$(readlink "/$link")" "$root/$link"; fi
    done
    mkdir -p "$root"/{tmp,dev,proc,sys/block,flash,storage,media,run,root,var/tmp}
    chmod 1777 "$root/tmp" "$root/var/tmp"
    local d=$root/dev
    mknod -m 0666 "$d/null" c 1 3
    mknod -m 0666 "$d/zero" c 1 5
    mknod -m 0666 "$d/full" c 1 7
    mknod -m 0666 "$d/random" c 1 8
    mknod -m 0666 "$d/urandom" c 1 9
    mknod -m 0666 "$d/tty" c 5 0
    ln -s /proc/self/fd "$d/fd"
    ln -s /proc/self/fd/0 "$d/stdin"
    ln -s /proc/self/fd/1 "$d/stdout"
    ln -s /proc/self/fd/2 "$d/stderr"
    mkdir -p "$d/shm"
    [ -z "$extra" ] || "$extra" "$root"
    [ -z "$skeleton" ] || tar -C "$root" -cpf "$skeleton" . || die "cannot save the root's skeleton"
  fi
  mount --bind -o ro /usr "$root/usr" || die "cannot bind /usr"
  mount --bind -o ro /etc "$root/etc" || die "cannot bind /etc"
}

# root_proc ROOT [no-mountinfo]: the real procfs hidden at /.realproc and a
# /proc of links to its entries (no process folders), so that
# /proc/device-tree can be an ordinary folder of the box's own. With
# no-mountinfo, /proc/self/mountinfo is missing.
root_proc() {
  local root=$1 no_mountinfo=${2:-}
  [ -d "$root/.realproc" ] || mkdir -p "$root/.realproc"
  mount -t proc proc "$root/.realproc" || die "cannot mount procfs"
  mount -t tmpfs -o mode=0755 kvemmc-box-proc "$root/proc" || die "cannot mount /proc"
  local entry name sub
  local -a links=()
  for entry in "$root/.realproc"/*; do
    name=${entry##*/}
    case $name in *[!0-9]*) ;; *) continue ;; esac
    if [ "$name" = self ] && [ "$no_mountinfo" = no-mountinfo ]; then
      mkdir "$root/proc/self"
      for sub in "$root/.realproc/self"/*; do
        [ "${sub##*/}" = mountinfo ] || ln -s "/.realproc/self/${sub##*/}" "$root/proc/self/${sub##*/}"
      done
      continue
    fi
    links+=("/.realproc/$name")
  done
  # One ln for all of them (the box is built again after every power cut).
  [ ${#links[@]} -eq 0 ] || ln -s "${links[@]}" "$root/proc/" || die "cannot link /proc"
  mkdir "$root/proc/device-tree"
}

# root_run ROOT LIMIT [--uname-2.6] -- ENV... -- PROGRAM ARGS...: runs the
# program chrooted with only the given environment, stopped after LIMIT
# seconds (exit 124). /proc holds no process folders; the program's own is
# linked in by a shell that then becomes the program, as LeakSanitizer reads
# it. --foreground: Ctrl-C reaches the program; what it leaves running is the
# caller's to stop.
root_run() {
  local root=$1 limit=$2
  shift 2
  local -a setarch=()
  if [ "$1" = --uname-2.6 ]; then
    setarch=(setarch "$(uname -m)" --uname-2.6)
    shift
  fi
  shift  # --
  local -a envs=()
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  local var
  for var in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
    if [ -n "${!var:-}" ]; then envs+=("$var=${!var}"); fi
  done
  timeout --foreground -k 5 "$limit" \
    bash -c 'ln -s "/.realproc/$$" "$1/proc/$$" && shift && exec "$@"' link-own-pid "$root" \
    "${setarch[@]}" chroot "$root" env -i "${envs[@]}" "$@"
}
