function p = gcs()
  % The current system of the one-block diagram that zvgateway plays.
  p = 'zvdemo/Controller/Zelvane';
end
