function zv_octave_memory(models, n)
  % N rounds of what can leak: a sizes call, a sizes call that ends in
  % mexErrMsgTxt, a short run, and runs whose link fails at t = 0 (the
  % hint ends the call from inside the link). The leak check at exit must
  % find no more at N rounds than at one.
  % The solver is not ours to check: keep the sanitizer out of it.
  unsetenv('LD_PRELOAD');
  here = pwd;
  scratch = tempname;
  mkdir(scratch);
  copyfile(fullfile(models, 'simple.dat'), scratch);
  cd(scratch);
  block = which('zelvanesl61');
  p = {'simple', 'ZVPRO', 'SIMULINK', 0.1, -1, -1};
  % Octave keeps every text that setenv was given: set the faults once.
  for i = 1:n
    evalc('zelvanesl61([], [], [], 0, p{:});');
    try
      zelvanesl61([], [], [], 0.5, p{:});
    catch
    end
    evalc('zvgateway(block, p, 0.2, [1 2 3]);');
  end
  % The link lost at t = 0, and one left up at t = 0 for the next run's
  % start to replace.
  faults = {'drop=DATEXIST', 'call-back=DATEXIST'};
  for f = 1:numel(faults)
    setenv('ZELVANE_FAULTS', faults{f});
    for i = 1:n
      try
        evalc('zvgateway(block, p, 0.2, [1 2 3]);');
      catch
      end
    end
  end
  unsetenv('ZELVANE_FAULTS');
  cd(here);
  confirm_recursive_rmdir(false, 'local');
  rmdir(scratch, 's');
  printf('%d rounds done\n', n);
end
