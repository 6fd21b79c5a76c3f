! Reads a system written by FortranCheck (rows counted from 1, values with
! 17 digits), solves it through the module qvl3d with FortranCheck's
! options, once from 32-bit and once from 64-bit offsets, and writes each
! solve's status, iterations and x with 17 digits for FortranCheck to
! compare with the C interface's. Usage: fortran_check SYSTEM SOLVES
program fortran_check
  use, intrinsic :: iso_c_binding
  use qvl3d
  implicit none
  integer(c_int32_t) :: n
  integer :: nnz, e, i, wide, out
  integer(c_int32_t), allocatable :: rowptr(:), col(:)
  integer(c_int64_t), allocatable :: rowptr64(:)
  real(c_double), allocatable :: val(:), b(:), x(:)
  type(qvl3d_options) :: options
  type(qvl3d_result) :: result
  type(c_ptr) :: solver
  integer(c_int) :: code
  character(len=4096) :: system_file, solves_file
  character(kind=c_char, len=512) :: text
  integer(c_size_t) :: length

  call get_command_argument(1, system_file)
  call get_command_argument(2, solves_file)
  open(newunit=i, file=trim(system_file), status='old', action='read')
  read(i, *) n, nnz
  allocate(rowptr(n + 1), rowptr64(n + 1), col(nnz), val(nnz), b(n), x(n))
  read(i, *) rowptr
  do e = 1, nnz
    read(i, *) col(e), val(e)
  end do
  read(i, *) b
  close(i)
  rowptr64 = rowptr

  if (qvl3d_options_default(options) /= QVL3D_OK) stop 2
  if (qvl3d_options_set_words(options, c_char_'bicgstab' // c_null_char, c_char_'diagonal' // c_null_char, &
                              c_char_'ell' // c_null_char) /= QVL3D_OK) stop 2
  options%rtol = 1d-12
  options%atol = 1d-7
  options%max_iter = 400

  open(newunit=out, file=trim(solves_file), status='replace', action='write')
  do wide = 0, 1
    if (wide == 0) then
      code = qvl3d_solver_create(n, rowptr, col, val, 1_c_int, options, solver)
    else
      code = qvl3d_solver_create64(n, rowptr64, col, val, 1_c_int, options, solver)
    end if
    x = 0
    if (code == QVL3D_OK) code = qvl3d_solver_solve(solver, b, x, result)
    if (code /= QVL3D_OK) then
      length = qvl3d_last_error_copy(c_null_ptr, text, len(text, kind=c_size_t))
      print '(a)', 'fortran_check: ' // text(1:index(text, c_null_char) - 1)
      stop 1
    end if
    call qvl3d_solver_destroy(solver)
    write(out, '(i0,1x,i0)') result%status, result%iterations
    write(out, '(es26.17e3)') x
  end do
  close(out)
  deallocate(rowptr, rowptr64, col, val, b, x) ! the leak check runs when the program ends
end program fortran_check
