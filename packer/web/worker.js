// The Web Worker that packs: it runs the packer's engine (web.cpp, compiled
// to WebAssembly, whose code stands before this in the same function), so the
// page never waits on it.  The page sends one job: the files with the paths
// they have below what was dropped, the icon's bytes, the fields, and the
// language.  The files are mounted at /in, each read a piece at a time as the
// packer asks for it; what comes back is parts of the file, progress, the
// packer's own words, and the exit code.
self.onmessage = (event) => {
  const job = event.data;
  const pack = () => {
    if (job.japanese)
      Module._kvx_use_japanese();
    // A file there is no symbolic link: said as the system says it (EINVAL),
    // so that paths resolve (the mount says EPERM, and realpath fails).
    WORKERFS.node_ops.readlink = () => {
      throw new FS.ErrnoError(28);
    };
    FS.mkdir('/in');
    const files = job.files.map((f) => new File([f.file], f.path, {lastModified: f.file.lastModified}));
    FS.mount(WORKERFS, {files}, '/in');
    // The mount takes each file's time from a property browsers no longer
    // have: it is set from lastModified (milliseconds since 1970, UTC).
    for (const f of job.files)
      FS.utime('/in/' + f.path, f.file.lastModified, f.file.lastModified);
    // Names as they were dropped, as the command line names them from the
    // folder that holds them.
    FS.chdir('/in');
    const fields = Object.assign({}, job.fields, {inputs: job.inputs});
    if (job.icon) {
      FS.mkdir('/icon');
      fields.icon = '/icon/' + job.icon.name;
      FS.writeFile(fields.icon, new Uint8Array(job.icon.bytes));
    }
    postMessage({done: Module.ccall('kvx_pack', 'number', ['string'], [JSON.stringify(fields)])});
  };
  if (Module.calledRun)
    pack();
  else
    Module.onRuntimeInitialized = pack;
};
