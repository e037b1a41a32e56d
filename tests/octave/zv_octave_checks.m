function failed = zv_octave_checks(models, zvsim)
  % The block inside Octave: the sizes call from the command line, its
  % notices, warning and error texts, and whole runs through zvgateway
  % against the stand-in solver, one of them side by side with the same run
  % in ZVSIM (our own host). Runs in a scratch folder holding copies of the
  % data files of MODELS. Ends with "N passed, N failed".
  global zv_results
  zv_results = [0 0];
  here = pwd;
  scratch = tempname;
  mkdir(scratch);
  copyfile(fullfile(models, '*.dat'), scratch);
  % A model whose solver ends the run, well before Simulink's stop time.
  text = fileread(fullfile(models, 'simple.dat'));
  fid = fopen(fullfile(scratch, 'short.dat'), 'w');
  fprintf(fid, '%sZVSOLVER:DURATION=0.5\n', text);
  fclose(fid);
  cd(scratch);
  unwind_protect
    groups = {@sizes_call, @width_notices, @sizing_warnings, @sizes_errors, @runs, ...
              @left_up_links, @() hosts_agree(zvsim)};
    for g = 1:numel(groups)
      % A group that breaks off counts as a failure; the others still run.
      try
        groups{g}();
      catch err
        check(false, sprintf('%s broke off', func2str(groups{g})), err.message);
      end
    end
  unwind_protect_cleanup
    cd(here);
    confirm_recursive_rmdir(false, 'local');
    rmdir(scratch, 's');
  end_unwind_protect
  printf('%d passed, %d failed\n', zv_results(1), zv_results(2));
  failed = zv_results(2);
end

function check(ok, what, detail)
  global zv_results
  if ok
    zv_results(1) += 1;
  else
    zv_results(2) += 1;
    printf('FAILED: %s\n', what);
    if nargin > 2
      printf('  %s\n', strrep(detail, "\n", '\n'));
    end
  end
end

function s = params(model, in, out)
  s = {model, 'ZVPRO', 'SIMULINK', 0.1, in, out};
end

function sizes_call()
  p = params('simple', -1, -1);
  s = zelvanesl61([], [], [], 0, p{:});
  check(isa(s, 'double') && isreal(s) && isequal(size(s), [38 1]), 'sizes: a real 38x1 double');
  check(s(20) == 5200229, 'sizes: element 19 is the version stamp');
  check(bitand(s(24), 8192) == 8192, 'sizes: bit 8192 in element 23');
  check(isequal(s([3 4 8 9 7]'), [1 1 6 1 1]'), ...
        'sizes: one output port, one input port, six parameters, one integer work, one sample time', ...
        mat2str(s'));
  % With no left-hand result the vector still comes back, as ans.
  zelvanesl61([], [], [], -0, p{:});
  check(exist('ans', 'var') && isequal(ans, s), 'sizes: nlhs 0 gives the vector too; flag -0 is 0');
end

function width_notices()
  inMore = ["I*** The specified number of inputs in the S-function block is larger than ", ...
            "the number of Wiring Harness outputs in the Zelvane model.\n", ...
            "\t\tThe extra signals will not be used.\n"];
  inLess = ["I*** The specified number of inputs in the S-function block is smaller than ", ...
            "the number of Wiring Harness outputs in the Zelvane model\n.", ...
            "\t\tThe rest of the signals will be assigned a value of 0.0\n"];
  outMore = strrep(inMore, 'of inputs', 'of outputs');
  outLess = strrep(inLess, 'of inputs', 'of outputs');
  % simple.dat: harness counts 3 in, 2 out; vehicle.dat (through a
  % sub-assembly): 2 in, 4 out.
  cases = {
    'simple',  -1, -1, ''
    'simple',   3,  2, ''
    'simple',   5,  2, inMore
    'simple',   2,  2, inLess
    'simple',   3,  7, outMore
    'simple',   3,  1, outLess
    'simple',  -3, -1, inLess
    'vehicle', -1, -1, ''
    'vehicle',  9,  1, [inMore outLess]
    'vehicle',  1,  5, [inLess outMore]
    'vehicle',  2,  4, ''
  };
  for i = 1:rows(cases)
    [model, in, out, want] = cases{i, :};
    p = params(model, in, out);
    got = evalc('zelvanesl61([], [], [], 0, p{:});');
    check(strcmp(got, want), sprintf('notices: %s with %d inputs, %d outputs', model, in, out), got);
  end
end

function sizing_warnings()
  % From the command line the sizes still come back; what went wrong is a
  % warning: the missing file (named, with the folder), or the error status.
  where = sprintf("\nData file: nosuchmodel.dat\nWorking folder: %s", pwd);
  cases = {
    'nosuchmodel', 0.1, {}, ["block 'zelvanesl61': No ZV data file specified or specified ", ...
                             "ZV data file does not exist in the working folder\n." where]
    'simple', NaN, {}, "F*** Parameter 'Timestep' must be a real positive scalar number."
    'simple', 0.1, {7}, ["zelvanesl61 takes 6 dialog parameters after the flag (Model, ", ...
                         "Product, Simulation Duration Source, Timestep, Inputs, Outputs), not 7"]
  };
  for i = 1:rows(cases)
    [model, step, more, want] = cases{i, :};
    lastwarn('');
    p = [{model, 'ZVPRO', 'SIMULINK', step, 2, 3}, more];
    evalc('s = zelvanesl61([], [], [], 0, p{:});');
    check(strcmp(lastwarn(), want), ['sizing warning: ' model], lastwarn());
    check(s(20) == 5200229, ['sizing warning: the sizes still come back: ' model]);
  end
end

function sizes_errors()
  prefix = 'zelvanesl61: ';
  name = 'MEX level2 S-function "zelvanesl61"';
  flagText = ['The 4th right hand argument, FLAG, passed to ' name ' must be an integer'];
  cases = {
    'zelvanesl61([], [], []);',              [name ' must be called with at least 4 right hand arguments']
    'zelvanesl61();',                        [name ' must be called with at least 4 right hand arguments']
    '[a, b] = zelvanesl61([], [], [], 0);',  [name ' called with too many left hand arguments']
    '[a, b] = zelvanesl61([], [], []);',     [name ' must be called with at least 4 right hand arguments']
    'zelvanesl61([], [], [], 0.5);',         flagText
    'zelvanesl61([], [], [], [0 0]);',       flagText
    'zelvanesl61([], [], [], complex(0, 0));', flagText
    'zelvanesl61([], [], [], ''0'');',       flagText
    'zelvanesl61([], [], [], 1);',           ['Invalid flag passed to ' name]
  };
  for i = 1:rows(cases)
    [call, want] = cases{i, :};
    msg = '';
    try
      evalc(call);
    catch err
      msg = err.message;
    end
    ok = strncmp(msg, prefix, numel(prefix)) && strcmp(msg(numel(prefix) + 1:end), want);
    check(ok, ['sizes error: ' call], msg);
  end
end

function runs()
  block = which('zelvanesl61');
  stopReq = 'zvdemo SimulationCommand Stop';
  errLines = ["\n\nAn error has occurred in the ZELVANE application.\n", ...
              "Examine the screen.zv and the output (*.out) file for error messages.\n"];
  % Octave keeps an error's text without its closing newline.
  hint = "Enter 'errstop61('name_of_mdl_file')' in the MATLAB Command Window to clear the simulation.";
  done = ["\n\nThe Simulink simulation has completed.\n\n\nThe ZV simulation may continue...\n", ...
          "The ZV simulation has completed.\n"];
  failedStatus = 'F*** An error has occurred in the ZELVANE application.';
  % name, model, duration source, stop time, widths asked, solver faults,
  % texts the run prints, stop request, error raised (the hint) or error
  % status left at the end, hits run, widths.
  cases = {
    'normal',      'simple', 'SIMULINK', 1.0, [-1 -1], '', {done}, '', '', 11, [3 2]
    'widths asked', 'simple', 'SIMULINK', 0.3, [5 1], '', {'The extra signals will not be used.', done}, '', '', 4, [5 1]
    'solver first', 'short', 'ZELVANE', 2.0, [-1 -1], '', ...
      {"Simulink will be stopped when the ZV simulation completes.", ...
       "The ZV and Simulink simulation have completed simultaneously.\n"}, stopReq, '', 5, [3 2]
    'fails at t = 0', 'simple', 'SIMULINK', 1.0, [-1 -1], 'drop=DATEXIST', {errLines}, '', hint, 0, []
    'left up at t = 0', 'simple', 'SIMULINK', 1.0, [-1 -1], 'call-back=DATEXIST', {errLines}, '', hint, 0, []
    'fails mid-run', 'simple', 'SIMULINK', 1.0, [-1 -1], 'drop=SLCZVPWR:3', ...
      {[errLines errLines], "The Simulink simulation has been interrupted.\n"}, stopReq, failedStatus, 3, [3 2]
    'after a failure', 'simple', 'SIMULINK', 0.2, [-1 -1], '', {done}, '', '', 3, [3 2]
  };
  for i = 1:rows(cases)
    [name, model, source, stopTime, widths, faults, texts, stopWant, errWant, hits, wWant] = cases{i, :};
    raises = strcmp(errWant, hint);
    if isempty(faults)
      unsetenv('ZELVANE_FAULTS');
    else
      setenv('ZELVANE_FAULTS', faults);
    end
    p = {model, 'ZVPRO', source, 0.1, widths(1), widths(2)};
    r = [];
    msg = '';
    out = evalc('try, r = zvgateway(block, p, stopTime, [1 2 3 4 5]); catch err, msg = err.message; end');
    what = ['run, ' name ': '];
    if !raises
      check(isempty(msg) && isstruct(r) && strcmp(r.error, errWant), [what 'error status'], [msg out]);
      if isstruct(r)
        check(strcmp(r.stop, stopWant), [what 'stop request'], r.stop);
        check(numel(r.t) == hits && isequal(r.widths, wWant) && ...
              isequal(size(r.y), [hits wWant(2)]), [what 'hits and widths'], ...
              sprintf('%d hits, widths %s', numel(r.t), mat2str(r.widths)));
        % Outputs start at the solver's initial values and move with the inputs.
        check(!isempty(r.y) && all(r.y(1, :) == 0) && all(r.y(end, :) > 0), ...
              [what 'values reach the outputs'], ...
              mat2str(r.y));
      end
    else
      % The block raised it, in a call Octave dispatched to it by name.
      prefix = 'zelvanesl61: ';
      check(strncmp(msg, prefix, numel(prefix)) && strcmp(msg(numel(prefix) + 1:end), errWant), ...
            [what 'ends the call with the hint'], msg);
    end
    for k = 1:numel(texts)
      check(!isempty(strfind(out, texts{k})), [what 'prints ' strtrim(texts{k}(1:min(end, 40)))], out);
    end
  end
  unsetenv('ZELVANE_FAULTS');
end

function left_up_links()
  % A start that fails with the link up (the solver calls back instead of
  % answering): unloading the block ends that link with the close frame,
  % whether the user clears it or runs errstop61, which also stops the model.
  global zvgateway_stop
  setenv('ZELVANE_FAULTS', 'call-back=DATEXIST');
  p = {'simple', 'ZVPRO', 'SIMULINK', 0.1, -1, -1};
  enders = {'clear zelvanesl61', 'errstop61(''zvdemo.slx'')'};
  for k = 1:numel(enders)
    if exist('screen.zv', 'file')
      delete('screen.zv');
    end
    evalc('try, zvgateway(which(''zelvanesl61''), p, 1.0, []); catch, end');
    eval([enders{k} ';']);
    closed = false;
    for wait = 1:100
      closed = exist('screen.zv', 'file') && !isempty(strfind(fileread('screen.zv'), ...
                                                              'Link closed by the block.'));
      if closed
        break;
      end
      pause(0.1);
    end
    check(closed, ['left up: ' enders{k} ' sends the close frame']);
  end
  check(strcmp(zvgateway_stop, 'zvdemo SimulationCommand stop'), 'errstop61 stops the model', ...
        zvgateway_stop);
  unsetenv('ZELVANE_FAULTS');
end

function hosts_agree(zvsim)
  % Octave and our own host run the same block the same way: every output
  % value of every hit equal.
  unsetenv('ZELVANE_FAULTS');
  p = {'simple', 'ZVPRO', 'SIMULINK', 0.1, -1, -1};
  evalc('r = zvgateway(which(''zelvanesl61''), p, 1.0, [1 2 3]);');
  [status, out] = system([zvsim ' --model simple --product ZVPRO --duration-source SIMULINK' ...
                          ' --timestep 0.1 --stop-time 1.0 --signals "1;2;3" --csv zvsim.csv']);
  check(status == 0, 'zvsim ran the same model', out);
  if status == 0
    z = dlmread('zvsim.csv', ',', 1, 0);
    % The CSV prints times as the sample times they are (0.3), the gateway
    % keeps k * Ts (0.30000000000000004): the same hits, one ulp apart.
    check(numel(z(:, 1)) == numel(r.t) && max(abs(z(:, 1) - r.t)) < 1e-12 && ...
          isequal(z(:, 5:6), r.y), ...
          'the same outputs at the same hits in Octave and in zvsim', ...
          mat2str([r.t r.y] - z(:, [1 5 6])));
  end
end
