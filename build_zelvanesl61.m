function mexfile = build_zelvanesl61(outdir)
  % BUILD_ZELVANESL61  Builds the zelvanesl61 block with this host's mex.
  %
  %   build_zelvanesl61(OUTDIR) compiles the block's sources (the src folder
  %   beside this file) with the mex command of the MATLAB or GNU Octave that
  %   runs it, and writes the MEX file into OUTDIR (created when missing):
  %   zelvanesl61.<mexext> in MATLAB, zelvanesl61.mex in Octave. The MEX file
  %   exports mexFunction and nothing else. Returns the MEX file's path.
  %   build_zelvanesl61 with no argument builds into the current folder.
  %
  %   Compilers: in MATLAB, the C++ compiler that "mex -setup C++" chose:
  %   MinGW-w64 or Microsoft Visual C++ on Windows, g++ on Linux; it must
  %   know C++17. In Octave, the compiler Octave was built with (mkoctfile).
  %   The S-function's SimStruct comes from the stand-in headers in
  %   mexapi; every mx*/mex* function comes from the host's own mex.h
  %   and libraries, so the build stops when the host's mex.h is missing.
  if nargin < 1 || isempty(outdir)
    outdir = pwd;
  end
  if ~ischar(outdir)
    error('build_zelvanesl61:usage', 'build_zelvanesl61(OUTDIR): OUTDIR must be a folder name');
  end
  root = fileparts(mfilename('fullpath'));
  src = fullfile(root, 'src');
  stand = fullfile(root, 'mexapi');
  if ~exist(fullfile(src, 'frame', 'mexfunction.cpp'), 'file')
    error('build_zelvanesl61:sources', ...
          'build_zelvanesl61: the block''s sources are not in %s; run the copy of this file at the top of the repository', src);
  end
  octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;

  % The host's own mex.h: without it the build would take the stand-in's and
  % make a file that does not belong to this host.
  if octave
    hostinc = strtrim(mkoctfile('-p', 'OCTINCLUDEDIR'));
  else
    hostinc = fullfile(matlabroot, 'extern', 'include');
  end
  if ~exist(fullfile(hostinc, 'mex.h'), 'file')
    if octave
      fix = 'install Octave''s development files (on Debian: liboctave-dev)';
    else
      fix = 'repair or reinstall MATLAB (extern/include is part of every installation)';
    end
    error('build_zelvanesl61:nomexh', ...
          'build_zelvanesl61: this host''s mex.h was not found in %s, so the block cannot be built for it: %s', ...
          hostinc, fix);
  end

  if ~exist(outdir, 'dir')
    [ok, msg] = mkdir(outdir);
    if ~ok
      error('build_zelvanesl61:outdir', 'build_zelvanesl61: cannot create %s: %s', outdir, msg);
    end
  end
  listing = dir(fullfile(src, '*'));
  sources = {};
  for k = 1:numel(listing)
    if listing(k).isdir && listing(k).name(1) ~= '.'
      files = dir(fullfile(src, listing(k).name, '*.cpp'));
      for f = 1:numel(files)
        sources{end + 1} = fullfile(src, listing(k).name, files(f).name); %#ok<AGROW>
      end
    end
  end
  map = fullfile(src, 'frame', 'mexfunction.map');

  if octave
    % Octave finds .mex files. Its include folder comes first, so <mex.h> is
    % Octave's; guard.cpp fails the build if it is not.
    mexfile = fullfile(outdir, 'zelvanesl61.mex');
    flags = '-std=c++17 -O2 -fvisibility=hidden -fvisibility-inlines-hidden';
    old = getenv('CXXFLAGS');
    setenv('CXXFLAGS', flags);
    args = [{['-I' src], ['-I' stand], fullfile(root, 'host', 'octave', 'guard.cpp')}, sources, ...
            {['-Wl,--version-script=' map], '-o', mexfile}];
    try
      [out, status] = mkoctfile('-mex', args{:});
    catch err
      setenv('CXXFLAGS', old);
      rethrow(err);
    end
    setenv('CXXFLAGS', old);
    if status ~= 0
      error('build_zelvanesl61:compile', 'build_zelvanesl61: mkoctfile failed:\n%s', out);
    end
  else
    mexfile = fullfile(outdir, ['zelvanesl61.' mexext]);
    args = [{'-silent', ['-I' src], ['-I' stand]}, sources, {'-outdir', outdir, '-output', 'zelvanesl61'}];
    if ispc
      cc = mex.getCompilerConfigurations('C++', 'Selected');
      if ~isempty(cc) && ~isempty(strfind(lower(cc.ShortName), 'mingw'))
        args = [{'CXXFLAGS=$CXXFLAGS -std=c++17'}, args];
      elseif ~isempty(cc)
        args = [{'COMPFLAGS=$COMPFLAGS /std:c++17 /EHsc'}, args];
      end
      % MATLAB exports mexFunction alone on Windows.
      libs = {'-lws2_32'};
    else
      args = [{'CXXFLAGS=$CXXFLAGS -std=c++17 -fvisibility=hidden -fvisibility-inlines-hidden', ...
               ['LDFLAGS=$LDFLAGS -Wl,--version-script=' map]}, args];
      libs = {};
    end
    mex(args{:}, libs{:});
  end
  fprintf('built %s\n', mexfile);
end
